// The text that str() gives of a node record, a list of port entries and the like, written in
// one pass without running code. The log lines hold that text whether or not the logger shows
// them, and the interpreter's own repr makes a str object for every key and value on the way.
//
// Only what the interpreter writes the same way on every version is taken: exact dicts and
// lists, str of ASCII text, int, float, True, False and None. Anything else, a container met
// twice on the way down (the interpreter writes "{...}" there) or a nesting too deep sends the
// whole value back to the interpreter's own repr, which then starts from scratch: nothing
// observable happened here before it.
#include "c_stack.hpp"
#include "fast_paths.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace flow {
namespace fast {
namespace {

/// Nesting followed here: a list of port entries holds dicts holding records holding wire
/// lists of lists of ids, six levels; deeper values are rare and go to the interpreter.
constexpr int deepest = 12;

/// Calls that the interpreter's str() of a container nests before its first element: the
/// format call, str() itself and a spare.
constexpr int calls_above = 3;

/// Stack that the interpreter's str() of a value `deepest` levels deep needs at the most,
/// generously: a few hundred bytes a level.
constexpr uintptr_t repr_stack = 32 * 1024;

/// How each ASCII character is written inside quotes: itself, escaped with a letter, or as \xhh.
enum CharClass : unsigned char { verbatim, quote_or_backslash, letter, hex };

struct CharClasses {
    CharClass of[128];
    constexpr CharClasses() : of()
    {
        for (int c = 0; c < 128; c++) {
            of[c] = c < ' ' || c == 0x7f ? hex : verbatim;
        }
        of['\t'] = of['\n'] = of['\r'] = letter;
        of['\''] = of['"'] = of['\\'] = quote_or_backslash;
    }
};
constexpr CharClasses classes;

/// Whether no character of the ASCII text `s` is written otherwise than as itself between
/// single quotes: no quote, backslash or control character. Eight at a time, with the usual
/// test for a zero byte: a byte below 0x20 borrows when 0x20 is taken from it, and a quote or
/// backslash is zero once the word is xored with it.
bool is_verbatim(const char* s, size_t n) noexcept
{
    constexpr uint64_t ones = 0x0101010101010101u;
    constexpr uint64_t highs = 0x8080808080808080u;
    const auto has_zero_byte = [](uint64_t word) { return (word - ones) & ~word & highs; };
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, s + i, 8);
        const uint64_t control = (word - 0x20 * ones) & ~word & highs;
        if (control | has_zero_byte(word ^ (0x7f * ones)) | has_zero_byte(word ^ ('\'' * ones)) |
            has_zero_byte(word ^ ('"' * ones)) | has_zero_byte(word ^ ('\\' * ones))) {
            return false;
        }
    }
    for (; i < n; i++) {
        if (classes.of[static_cast<unsigned char>(s[i])] != verbatim) {
            return false;
        }
    }
    return true;
}

/// A growing ASCII text, on the C stack while it is short.
class Text {
public:
    Text() noexcept = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text()
    {
        if (data_ != inline_) {
            PyMem_Free(data_);
        }
    }

    bool append(const char* bytes, size_t n) noexcept
    {
        if (size_ + n > capacity_ && !grow(size_ + n)) {
            return false;
        }
        // Most pieces are a few characters long: a call of memcpy would cost more than they do.
        if (n <= 8) {
            for (size_t i = 0; i < n; i++) {
                data_[size_ + i] = bytes[i];
            }
        } else {
            std::memcpy(data_ + size_, bytes, n);
        }
        size_ += n;
        return true;
    }
    bool append(char c) noexcept
    {
        if (size_ == capacity_ && !grow(size_ + 1)) {
            return false;
        }
        data_[size_++] = c;
        return true;
    }

    /// The text as a new str; empty, with no error set, when memory ran out.
    Ref to_str() const noexcept
    {
        Ref str = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size_), 127));
        if (!str) {
            PyErr_Clear();
            return str;
        }
        std::memcpy(PyUnicode_DATA(str.get()), data_, size_);
        return str;
    }

private:
    bool grow(size_t needed) noexcept
    {
        size_t capacity = 2 * capacity_;
        while (capacity < needed) {
            capacity *= 2;
        }
        char* data = static_cast<char*>(PyMem_Malloc(capacity));
        if (!data) {
            return false;
        }
        std::memcpy(data, data_, size_);
        if (data_ != inline_) {
            PyMem_Free(data_);
        }
        data_ = data;
        capacity_ = capacity;
        return true;
    }

    char inline_[2048];
    char* data_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = sizeof inline_;
};

/// Writes values as repr() does; every write returns false, leaving the text half made, when
/// the value is not plain or memory ran out.
class ReprWriter {
public:
    bool write(PyObject* value, int depth) noexcept
    {
        if (PyUnicode_CheckExact(value)) {
            return write_str(value);
        }
        if (PyLong_CheckExact(value)) {
            return write_int(value);
        }
        if (PyDict_CheckExact(value)) {
            return write_dict(value, depth);
        }
        if (PyList_CheckExact(value)) {
            return write_list(value, depth);
        }
        if (PyFloat_CheckExact(value)) {
            return write_float(value);
        }
        if (value == Py_None) {
            return text_.append("None", 4);
        }
        if (value == Py_True) {
            return text_.append("True", 4);
        }
        return value == Py_False && text_.append("False", 5);
    }

    int depth_reached() const noexcept { return depth_reached_; }
    Ref to_str() const noexcept { return text_.to_str(); }

private:
    bool write_str(PyObject* str) noexcept
    {
        if (!PyUnicode_IS_COMPACT_ASCII(str)) {
            return false;
        }
        const char* s = static_cast<const char*>(PyUnicode_DATA(str));
        const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
        if (is_verbatim(s, n)) {
            return text_.append('\'') && text_.append(s, n) && text_.append('\'');
        }
        return write_escaped(s, n);
    }

    /// Text with a quote, a backslash or a control character in it.
    bool write_escaped(const char* s, size_t n) noexcept
    {
        // Single quotes, unless the text holds some and no double ones.
        const char quote = std::memchr(s, '\'', n) && !std::memchr(s, '"', n) ? '"' : '\'';
        if (!text_.append(quote)) {
            return false;
        }
        size_t run = 0;  // start of the characters written as they are
        for (size_t i = 0; i < n; i++) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            const CharClass kind = classes.of[c];
            if (kind == verbatim || (kind == quote_or_backslash && c != quote && c != '\\')) {
                continue;
            }
            if (!text_.append(s + run, i - run) || !write_escape(c, kind)) {
                return false;
            }
            run = i + 1;
        }
        return text_.append(s + run, n - run) && text_.append(quote);
    }

    bool write_escape(unsigned char c, CharClass kind) noexcept
    {
        static const char digits[] = "0123456789abcdef";
        if (kind == quote_or_backslash) {
            const char escaped[] = {'\\', static_cast<char>(c)};
            return text_.append(escaped, 2);
        }
        if (kind == letter) {
            const char escaped[] = {'\\', c == '\t' ? 't' : c == '\n' ? 'n' : 'r'};
            return text_.append(escaped, 2);
        }
        const char escaped[] = {'\\', 'x', digits[c >> 4], digits[c & 15]};
        return text_.append(escaped, 4);
    }

    bool write_int(PyObject* value) noexcept
    {
        int overflow = 0;
        const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0) {
            return false;  // the interpreter may refuse to write it: too many digits
        }
        char digits[24];
        const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, number);
        return text_.append(digits, static_cast<size_t>(end.ptr - digits));
    }

    bool write_float(PyObject* value) noexcept
    {
        // What float.__repr__ itself calls.
        char* digits = PyOS_double_to_string(PyFloat_AS_DOUBLE(value), 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!digits) {
            PyErr_Clear();
            return false;
        }
        const bool written = text_.append(digits, std::strlen(digits));
        PyMem_Free(digits);
        return written;
    }

    bool write_dict(PyObject* dict, int depth) noexcept
    {
        if (!open(dict, depth) || !text_.append('{')) {
            return false;
        }
        Py_ssize_t position = 0;
        PyObject *key, *value;  // borrowed: nothing here can change the dict
        for (bool first = true; PyDict_Next(dict, &position, &key, &value); first = false) {
            if ((!first && !text_.append(", ", 2)) || !write(key, depth + 1) || !text_.append(": ", 2) ||
                !write(value, depth + 1)) {
                return false;
            }
        }
        close();
        return text_.append('}');
    }

    bool write_list(PyObject* list, int depth) noexcept
    {
        if (!open(list, depth) || !text_.append('[')) {
            return false;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
            if ((i > 0 && !text_.append(", ", 2)) || !write(PyList_GET_ITEM(list, i), depth + 1)) {
                return false;
            }
        }
        close();
        return text_.append(']');
    }

    /// Enters a container, unless it is being written already or lies too deep.
    bool open(PyObject* container, int depth) noexcept
    {
        if (depth >= deepest) {
            return false;
        }
        for (int i = 0; i < open_count_; i++) {
            if (open_[i] == container) {
                return false;
            }
        }
        open_[open_count_++] = container;
        depth_reached_ = std::max(depth_reached_, depth + 1);
        return true;
    }

    void close() noexcept { open_count_--; }

    Text text_;
    PyObject* open_[deepest];
    int open_count_ = 0;
    int depth_reached_ = 0;
};

/// Whether the interpreter's own str() of a value `levels` deep would get past its recursion
/// checks from here: the same checks, asked as often as it would ask them nested, and from
/// further down the C stack than it would go.
__attribute__((noinline)) bool repr_would_not_recurse_too_deep(int levels) noexcept
{
    volatile char below[repr_stack];
    below[0] = below[sizeof below - 1] = 0;
    int entered = 0;
    while (entered < levels && Py_EnterRecursiveCall(" while getting the repr of an object") == 0) {
        entered++;
    }
    for (int i = 0; i < entered; i++) {
        Py_LeaveRecursiveCall();
    }
    if (entered < levels) {
        PyErr_Clear();
        return false;
    }
    return true;
}

}  // namespace

Ref format_plain_container(PyObject* value) noexcept
{
    if (!enabled || !(PyDict_CheckExact(value) || PyList_CheckExact(value)) || !stack_has_room(2 * repr_stack)) {
        return Ref();
    }
    ReprWriter writer;
    if (!writer.write(value, 0) || !repr_would_not_recurse_too_deep(writer.depth_reached() + 1 + calls_above)) {
        return Ref();
    }
    return writer.to_str();
}

}  // namespace fast
}  // namespace flow
