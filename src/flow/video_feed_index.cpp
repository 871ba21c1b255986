// Why the two walks cannot be told apart here: every check below is made before anything
// observable happens, and once they pass, the walk touches only exact dicts, lists and str
// and allocates no object that the garbage collector tracks, so no Python code can run
// during it. The lookups that the step-by-step walk repeats at every step (the searches
// through the instance, `self._nodes`, `Module` and its types) would therefore give the same
// object each time, and seek_prev_nodes would give the entries that the index holds.
#include "video_feed_index.hpp"

#include "calls.hpp"
#include "compat.hpp"
#include "exact_str.hpp"
#include "globals.hpp"
#include "method_object.hpp"
#include "method_table.hpp"
#include "names.hpp"
#include "plain_dict.hpp"
#include "str_table.hpp"
#include "vector.hpp"

#include <cstring>

namespace flow {
namespace {

/// `obj.name` when reading it runs no Python code and finds an instance attribute, else NULL
/// (no error set).
Ref plain_instance_attribute(PyObject* obj, PyObject* name) noexcept
{
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(type, name)) {
        return Ref();
    }
    Ref value = Ref::steal(PyObject_GetAttr(obj, name));
    if (!value) {
        PyErr_Clear();
    }
    return value;
}

/// Whether `self.<name>` is the method of `sig` itself, found without running Python code.
bool is_own_method(PyObject* self, PyObject* name, const Signature& sig) noexcept
{
    if (Py_TYPE(self)->tp_getattro != PyObject_GenericGetAttr) {
        return false;
    }
    bool unbound = false;
    Ref method = lookup_method(self, name, unbound);
    if (!method) {
        PyErr_Clear();
    }
    return method && unbound && is_method_for(method.get(), sig);
}

/// Whether `type` is built into the interpreter: a class made in Python is a mutable heap
/// type, so it cannot pose as one.
bool is_builtin_type(PyTypeObject* type) noexcept
{
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    if (type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) {
        return true;
    }
#endif
    return !(type->tp_flags & Py_TPFLAGS_HEAPTYPE);
}

bool is_tuple_field(PyObject* descriptor) noexcept
{
    // A static type of `_collections` up to 3.11, an immutable heap type of `collections` since.
    PyTypeObject* type = Py_TYPE(descriptor);
    return is_builtin_type(type) && (std::strcmp(type->tp_name, "_collections._tuplegetter") == 0 ||
                                     std::strcmp(type->tp_name, "collections._tuplegetter") == 0);
}

/// Slots, and the fields of named tuples: both read a stored object and nothing else.
bool is_plain_field(PyObject* descriptor) noexcept
{
    return Py_TYPE(descriptor) == &PyMemberDescr_Type || is_tuple_field(descriptor);
}

/// The version tag of a class, or 0 while it has none that is valid.
unsigned int version_of(PyObject* cls) noexcept
{
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
#ifdef Py_TPFLAGS_VALID_VERSION_TAG
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) {
        return 0;
    }
#endif
    return type->tp_version_tag;
}

/// The video-source types as last read from a plain `Module`. While `Module` is that same
/// class, unchanged since (same version tag), and every type was read from a named-tuple
/// field, which cannot change, a new read would give the same four objects.
struct FeedTypeCache {
    PyObject* module = nullptr;  // compared, not owned: a new class gets a new version tag
    unsigned int version = 0;
    PyObject* types[4] = {};     // owned
};

// Plain pointers, not Refs: a static destructor would run after the interpreter is gone.
FeedTypeCache feed_type_cache;

/// `Module.<member>.type` when `Module` is a plain class, the member a plain class attribute
/// and its `type` a plain field holding an exact str; else NULL (no error set). `immutable`
/// is cleared unless the field is one of a named tuple.
Ref plain_feed_type(PyObject* module, PyObject* member_name, bool& immutable) noexcept
{
    if (Py_TYPE(module) != &PyType_Type) {
        return Ref();
    }
    PyObject* member = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(module), member_name);  // borrowed
    if (!member || Py_TYPE(member)->tp_descr_get ||
        Py_TYPE(member)->tp_getattro != PyObject_GenericGetAttr) {
        return Ref();
    }
    PyObject* field = _PyType_Lookup(Py_TYPE(member), names().type);  // borrowed
    if (field && !is_plain_field(field)) {
        return Ref();
    }
    immutable = immutable && field && is_tuple_field(field);
    Ref type = Ref::steal(PyObject_GetAttr(member, names().type));
    if (!type) {
        PyErr_Clear();
    }
    return type && PyUnicode_CheckExact(type.get()) ? std::move(type) : Ref();
}

bool is_exact_str_or_absent(PyObject* value) noexcept { return !value || PyUnicode_CheckExact(value); }

/// `record[key]` of an exact dict (borrowed), raising KeyError as the subscript does.
PyObject* item(PyObject* record, PyObject* key) noexcept
{
    PyObject* value = PyDict_GetItemWithError(record, key);
    if (!value && !PyErr_Occurred()) {
        PyErr_SetObject(PyExc_KeyError, key);
    }
    return value;
}

/// The port entries that seek_prev_nodes would list for each id: (record, port) pairs in
/// table order, then port order, one per port that holds the id.
class PredecessorIndex {
public:
    /// 1 when built, 0 when the table holds anything but plain records, -1 on error.
    int build(PyObject* table) noexcept
    {
        Py_ssize_t position = 0;
        PyObject *key, *record;  // borrowed
        while (PyDict_Next(table, &position, &key, &record)) {
            const int added = add_record(record);
            if (added <= 0) {
                return added;
            }
        }
        return 1;
    }

    /// The first entry for the id of `record` (`record.get("id")`), or -1.
    Py_ssize_t first_entry(PyObject* record) const noexcept
    {
        PyObject* id = PyDict_GetItemWithError(record, names().id);  // borrowed
        if (!id || !PyUnicode_CheckExact(id)) {
            return -1;
        }
        const Py_ssize_t number = ids_.find(id);
        return number < 0 ? -1 : heads_[static_cast<size_t>(number)];
    }

    PyObject* record_of(Py_ssize_t entry) const noexcept { return entries_[static_cast<size_t>(entry)].record; }
    Py_ssize_t port_of(Py_ssize_t entry) const noexcept { return entries_[static_cast<size_t>(entry)].port; }
    Py_ssize_t next_of(Py_ssize_t entry) const noexcept { return entries_[static_cast<size_t>(entry)].next; }

private:
    struct Entry {
        PyObject* record;  // borrowed from the table
        Py_ssize_t port;
        Py_ssize_t next;  // the next entry for the same id, or -1
    };

    int add_record(PyObject* record) noexcept
    {
        if (!PyDict_CheckExact(record) || !has_only_str_keys(record) ||
            !is_exact_str_or_absent(PyDict_GetItemWithError(record, names().id)) ||
            !is_exact_str_or_absent(PyDict_GetItemWithError(record, names().type))) {
            return 0;
        }
        PyObject* wires = PyDict_GetItemWithError(record, names().wires);  // borrowed
        if (!wires) {
            return 1;
        }
        if (!PyList_CheckExact(wires)) {
            return 0;
        }
        for (Py_ssize_t port = 0; port < PyList_GET_SIZE(wires); port++) {
            const int added = add_port(record, port, PyList_GET_ITEM(wires, port));
            if (added <= 0) {
                return added;
            }
        }
        return 1;
    }

    int add_port(PyObject* record, Py_ssize_t port, PyObject* target_ids) noexcept
    {
        if (!PyList_CheckExact(target_ids)) {
            return 0;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(target_ids); i++) {
            PyObject* id = PyList_GET_ITEM(target_ids, i);
            if (!PyUnicode_CheckExact(id)) {
                return 0;
            }
            if (add_entry(id, record, port) < 0) {
                return -1;
            }
        }
        return 1;
    }

    int add_entry(PyObject* id, PyObject* record, Py_ssize_t port) noexcept
    {
        const Py_ssize_t number = ids_.insert(id);
        if (number < 0) {
            return -1;
        }
        const size_t n = static_cast<size_t>(number);
        if (n == heads_.size()) {
            if (heads_.push(-1) < 0 || tails_.push(-1) < 0) {
                return -1;
            }
        }
        const Py_ssize_t tail = tails_[n];
        // An id listed twice in one port still makes one entry.
        if (tail >= 0 && entries_[static_cast<size_t>(tail)].record == record &&
            entries_[static_cast<size_t>(tail)].port == port) {
            return 1;
        }
        const Py_ssize_t entry = static_cast<Py_ssize_t>(entries_.size());
        if (entries_.push(Entry{record, port, -1}) < 0) {
            return -1;
        }
        (tail >= 0 ? entries_[static_cast<size_t>(tail)].next : heads_[n]) = entry;
        tails_[n] = entry;
        return 1;
    }

    StrTable ids_;
    Vector<Py_ssize_t> heads_;
    Vector<Py_ssize_t> tails_;
    Vector<Entry> entries_;
};

class IndexedSearch {
public:
    /// 1 when everything the walk reads is plain, 0 when not, -1 on error.
    int prepare(PyObject* self, PyObject* start) noexcept
    {
        const Names& n = names();
        if (!is_own_method(self, n.seek_prev_nodes, seek_prev_nodes_signature) ||
            !is_own_method(self, n.seek_video_feed, seek_video_feed_signature) ||
            !has_only_str_keys(start) || !is_exact_str_or_absent(PyDict_GetItemWithError(start, n.id))) {
            return 0;
        }
        table_ = plain_instance_attribute(self, n.nodes);
        visited_ = plain_instance_attribute(self, n.visited_node_ids);
        if (!table_ || !PyDict_CheckExact(table_.get()) || !visited_ ||
            !PyList_CheckExact(visited_.get()) || !read_feed_types()) {
            return 0;
        }
        return visited_so_far_are_str() ? index_.build(table_.get()) : 0;
    }

    /// The walk itself, in the order of the step-by-step one.
    Ref run(PyObject* start) noexcept
    {
        if (enter(start) < 0) {
            return Ref();
        }
        while (!levels_.empty()) {
            const Py_ssize_t entry = levels_.top();
            if (entry < 0) {
                levels_.pop();
                continue;
            }
            levels_.top() = index_.next_of(entry);
            PyObject* record = index_.record_of(entry);
            PyObject* type = item(record, names().type);
            if (!type) {
                return Ref();
            }
            if (is_feed_type(type)) {
                // Held: making the answer may collect garbage, and a finalizer may empty the table.
                Ref found = Ref::borrow(record);
                Ref port = Ref::steal(PyLong_FromSsize_t(index_.port_of(entry)));
                return port ? Ref::steal(PyTuple_Pack(2, found.get(), port.get())) : Ref();
            }
            const int worth = index_.first_entry(record) >= 0 ? not_visited(record) : 0;
            if (worth < 0 || (worth && enter(record) < 0)) {
                return Ref();
            }
        }
        return Ref::steal(PyTuple_Pack(2, Py_None, Py_None));
    }

private:
    bool read_feed_types() noexcept
    {
        const Names& n = names();
        Ref module = load_global(n.Module);
        if (!module) {
            PyErr_Clear();
            return false;
        }
        FeedTypeCache& cache = feed_type_cache;
        if (module.get() == cache.module && version_of(module.get()) == cache.version) {
            for (size_t i = 0; i < 4; i++) {
                feed_types_[i] = Ref::borrow(cache.types[i]);
            }
            return true;
        }
        PyObject* members[] = {n.VideoFeed, n.VFVideoFile, n.VFUsbCamera, n.VFIpCamera};
        bool immutable = true;
        for (size_t i = 0; i < 4; i++) {
            feed_types_[i] = plain_feed_type(module.get(), members[i], immutable);
            if (!feed_types_[i]) {
                return false;
            }
        }
        remember(module.get(), immutable);
        return true;
    }

    void remember(PyObject* module, bool immutable) noexcept
    {
        FeedTypeCache& cache = feed_type_cache;
        const unsigned int version = version_of(module);
        const bool cacheable = immutable && version != 0;
        cache.module = cacheable ? module : nullptr;
        cache.version = version;
        for (size_t i = 0; i < 4; i++) {
            Py_XSETREF(cache.types[i], cacheable ? Py_NewRef(feed_types_[i].get()) : nullptr);
        }
    }

    bool visited_so_far_are_str() const noexcept
    {
        PyObject* visited = visited_.get();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(visited); i++) {
            if (!PyUnicode_CheckExact(PyList_GET_ITEM(visited, i))) {
                return false;
            }
        }
        return true;
    }

    /// The visited ids as a set, made at the first membership test: many walks never make
    /// one, and the list may be long after direct calls that nobody reset.
    int note_visited_so_far() noexcept
    {
        PyObject* visited = visited_.get();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(visited); i++) {
            if (seen_.insert(PyList_GET_ITEM(visited, i)) < 0) {
                return -1;
            }
        }
        seen_made_ = true;
        return 0;
    }

    bool is_feed_type(PyObject* type) const noexcept
    {
        for (const Ref& feed_type : feed_types_) {
            if (same_exact_str(type, feed_type.get())) {
                return true;
            }
        }
        return false;
    }

    /// 1 when the id of `record` is not among the visited ones, 0 when it is, -1 on error.
    int not_visited(PyObject* record) noexcept
    {
        PyObject* id = item(record, names().id);
        if (!id || (!seen_made_ && note_visited_so_far() < 0)) {
            return -1;
        }
        return seen_.find(id) < 0;
    }

    /// Entering a node: its entries become a level, its id a visit.
    int enter(PyObject* record) noexcept
    {
        const Py_ssize_t first = index_.first_entry(record);
        PyObject* id = item(record, names().id);
        if (!id || PyList_Append(visited_.get(), id) < 0 || (seen_made_ && seen_.insert(id) < 0)) {
            return -1;
        }
        return levels_.push(first);
    }

    Ref table_;
    Ref visited_;
    Ref feed_types_[4];
    PredecessorIndex index_;
    StrTable seen_;
    bool seen_made_ = false;
    Vector<Py_ssize_t> levels_;  // per entered node: its next entry to examine, or -1
};

}  // namespace

Indexed indexed_video_feed_search(PyObject* self, PyObject* start, Ref& result) noexcept
{
    IndexedSearch search;
    const int ready = search.prepare(self, start);
    if (ready <= 0) {
        return ready < 0 ? Indexed::error : Indexed::not_applicable;
    }
    result = search.run(start);
    return result ? Indexed::done : Indexed::error;
}

}  // namespace flow
