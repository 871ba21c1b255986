// Reading attributes without running code. CPython's attribute lookup runs code of the
// caller's only through a descriptor's __get__, a __getattr__ or __getattribute__ of its own,
// or a dict key of another type whose __eq__ a lookup asks. The readers here take the same
// steps as the interpreter's own lookup (the metatype or type first, data descriptors before
// the instance dict, then the class attribute) and give up wherever one of those could run.
#include "fast_paths.hpp"

#include "globals.hpp"
#include "method_object.hpp"
#include "names.hpp"

#include <cstring>
#include <iterator>
#include <utility>

#if FLOW_FAST_PATHS && PY_VERSION_HEX >= 0x030C0000
#define FLOW_WATCHES_DICTS 1
#endif

namespace flow {
namespace fast {
namespace {

#ifdef FLOW_WATCHES_DICTS
int dict_watcher = -1;

int count_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept
{
    watched_changes++;
    return 0;
}

/// Whether the running interpreter tells a dict's watchers of every change of it. CPython
/// 3.13.0 and 3.14.0a1 do not for an object's attribute dict when the object's attributes are
/// set; the build may have been made against headers without that fault.
bool watchers_see_every_change() noexcept
{
    const unsigned long version = Py_Version;
    return version < 0x030D0000 || (version >= 0x030D0100 && version < 0x030E0000) || version >= 0x030E00A2;
}

/// lookups_run_no_code for an exact dict, which `watcher` watches from now on.
bool watch_if_plain(PyObject* dict, int watcher = dict_watcher) noexcept
{
    if (watcher < 0 || !PyDict_CheckExact(dict) || !lookups_run_no_code(dict)) {
        return false;
    }
    if (PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

/// The table last found plain, and when: good while nothing watched has changed since.
struct PlainTable {
    PyObject* table = nullptr;  // compared, not owned: it is watched, so freeing it is a change
    unsigned long long at = 0;
    // Made once and kept for the life of the process: a static destructor would free it
    // after the interpreter is gone.
    Vector<PlainRecord>* records = new Vector<PlainRecord>();
};
PlainTable last_plain_table;

/// Fills `records` when every record of `table` is plain, watching them and the table.
bool note_records_if_plain(PyObject* table, Vector<PlainRecord>& records) noexcept
{
    records.clear();
    Py_ssize_t position = 0;
    PyObject *key, *record;  // borrowed
    while (PyDict_Next(table, &position, &key, &record)) {
        if (!watch_if_plain(record)) {
            return false;
        }
        PyObject* wires = PyDict_GetItemWithError(record, names().wires);  // runs no code
        if (records.push(PlainRecord{record, wires, position}) < 0) {
            PyErr_Clear();
            return false;
        }
    }
    return watch_if_plain(table);
}
#endif

/// Whether the dict of `type` is out of the caller's reach: only a class made in Python can
/// be given attributes, or keys that are not str.
bool is_builtin_type(PyTypeObject* type) noexcept
{
#ifdef Py_TPFLAGS_IMMUTABLETYPE
    if (type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) {
        return true;
    }
#endif
    return !(type->tp_flags & Py_TPFLAGS_HEAPTYPE);
}

Ref dict_of_type(PyTypeObject* type) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(type));
#else
    return Ref::borrow(type->tp_dict);
#endif
}

enum class Lookup { absent, found, unknown };

/// The attribute `name` of the class `type` as its MRO gives it (borrowed into `found`),
/// looked up without running code; `unknown` where a lookup could run some.
Lookup find_in_mro(PyTypeObject* type, PyObject* name, PyObject*& found) noexcept
{
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_CheckExact(mro)) {
        return Lookup::unknown;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
        PyTypeObject* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        Ref dict = dict_of_type(base);
        if (!dict || !PyDict_CheckExact(dict.get()) ||
            (!is_builtin_type(base) && !lookups_run_no_code(dict.get()))) {
            return Lookup::unknown;
        }
        // Held by the class, which the MRO holds, which the object's type holds.
        found = PyDict_GetItemWithError(dict.get(), name);
        if (found) {
            return Lookup::found;
        }
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return Lookup::unknown;
        }
    }
    return Lookup::absent;
}

/// Whether the class attribute `name` of `type` is not there at all.
bool is_absent_from(PyTypeObject* type, PyObject* name) noexcept
{
    PyObject* found;  // borrowed
    return find_in_mro(type, name, found) == Lookup::absent;
}

/// `dict[name]` for a dict whose lookups run no code: found (borrowed), absent or unknown.
Lookup find_in_dict(PyObject* dict, PyObject* name, PyObject*& found) noexcept
{
    if (!PyDict_CheckExact(dict) || !lookups_run_no_code(dict)) {
        return Lookup::unknown;
    }
    found = PyDict_GetItemWithError(dict, name);
    return found ? Lookup::found : Lookup::absent;  // a str lookup in such a dict cannot fail
}

/// The instance dict of `obj`: empty with `has_none` set when its type gives it none. An
/// object that keeps its attributes outside a dict until asked is given one now, once.
Ref instance_dict(PyObject* obj, bool& has_none) noexcept
{
    has_none = Py_TYPE(obj)->tp_dictoffset == 0;
    if (has_none) {
        return Ref();
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!dict) {
        PyErr_Clear();
    }
    return dict;
}

/// `obj.name` in the instance dict: found (borrowed, held by the dict that `holder` keeps),
/// absent or unknown.
Lookup find_in_instance(PyObject* obj, PyObject* name, Ref& holder, PyObject*& found) noexcept
{
    bool has_none = false;
    holder = instance_dict(obj, has_none);
    if (has_none) {
        return Lookup::absent;
    }
    return holder ? find_in_dict(holder.get(), name, found) : Lookup::unknown;
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

/// The class attribute itself, when reading it through an instance or the class calls nothing.
Ref plain_class_value(PyObject* value) noexcept
{
    return Py_TYPE(value)->tp_descr_get ? Ref() : Ref::borrow(value);
}

/// `cls.name` for a class whose metaclass is `type`.
Ref class_attribute(PyObject* cls, PyObject* name) noexcept
{
    PyObject* found;  // borrowed
    if (!is_absent_from(&PyType_Type, name) ||
        find_in_mro(reinterpret_cast<PyTypeObject*>(cls), name, found) != Lookup::found) {
        return Ref();
    }
    return plain_class_value(found);
}

/// `module.name` for an exact module object.
Ref module_attribute(PyObject* module, PyObject* name) noexcept
{
    PyObject* found;  // borrowed
    if (!is_absent_from(&PyModule_Type, name) ||
        find_in_dict(PyModule_GetDict(module), name, found) != Lookup::found) {
        return Ref();
    }
    return Ref::borrow(found);
}

/// `obj.name` for an object whose type reads attributes through the generic lookup.
Ref instance_attribute(PyObject* obj, PyObject* name) noexcept
{
    PyTypeObject* type = Py_TYPE(obj);
    PyObject* descriptor = nullptr;  // borrowed
    const Lookup in_type = find_in_mro(type, name, descriptor);
    if (in_type == Lookup::unknown) {
        return Ref();
    }
    // A data descriptor comes before the instance dict.
    if (in_type == Lookup::found && Py_TYPE(descriptor)->tp_descr_set) {
        if (!is_plain_field(descriptor)) {
            return Ref();
        }
        Ref value = Ref::steal(Py_TYPE(descriptor)->tp_descr_get(descriptor, obj, reinterpret_cast<PyObject*>(type)));
        if (!value) {
            PyErr_Clear();
        }
        return value;
    }
    Ref holder;
    PyObject* found;  // borrowed
    const Lookup in_instance = find_in_instance(obj, name, holder, found);
    if (in_instance != Lookup::absent) {
        return in_instance == Lookup::found ? Ref::borrow(found) : Ref();
    }
    return in_type == Lookup::found ? plain_class_value(descriptor) : Ref();
}

/// The module namespace's own binding of a global, when looking it up runs no code.
Ref plain_global(PyObject* name) noexcept
{
    PyObject* found;  // borrowed
    return find_in_dict(PyModule_GetDict(recorded_module()), name, found) == Lookup::found ? Ref::borrow(found)
                                                                                          : Ref();
}

#ifdef FLOW_WATCHES_DICTS
int instance_watcher = -1;
int class_watcher = -1;

/// What was found for a few attribute names, kept by name (compared by pointer: the names are
/// the module's interned ones).
template <typename T>
class ByName {
public:
    const T* find(PyObject* name) const noexcept
    {
        for (size_t i = 0; i < n_; i++) {
            if (names_[i] == name) {
                return &values_[i];
            }
        }
        return nullptr;
    }
    /// Keeps `value` for `name` while there is room; it is found anew otherwise.
    void keep(PyObject* name, T value) noexcept
    {
        if (n_ < std::size(names_)) {
            names_[n_] = name;
            values_[n_++] = value;
        }
    }
    void clear() noexcept { n_ = 0; }

private:
    PyObject* names_[4] = {};
    T values_[4] = {};
    size_t n_ = 0;
};

/// What is known of the module's own class while no change of it has been reported, and of
/// the attribute dict of the instance read last.
struct OwnClass {
    PyTypeObject* type = nullptr;  // held until another class takes its place
    bool unchanged = false;        // since the names below were looked up
    ByName<bool> absent;           // whether the class and its bases lack the name
    // The instance dict last found to hold only str keys, until it changes (it is watched),
    // and values read from it meanwhile (borrowed from it).
    PyObject* plain_dict = nullptr;
    ByName<PyObject*> values;
};
OwnClass own_class;

/// The four video-source types as last read, while nothing they were read from has changed:
/// the module namespace that binds `Module` (watched), the classes of `Module` and of its
/// members (watched too, and holding nothing but builtin bases) and the members' classes,
/// which are compared at each use, as assigning `__class__` is reported to no watcher. The
/// members are tuples, which keep their values in no instance dict and cannot change them, so
/// only a change of a class changes what their `type` reads.
struct KnownFeedTypes {
    bool valid = false;
    PyObject* namespace_dict = nullptr;  // compared, not owned: the module holds it
    Ref members[4];
    PyTypeObject* member_types[4] = {};  // held by `classes`
    Ref classes[6];
    Ref types[4];
};
KnownFeedTypes known_feed_types;

int note_instance_dict_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) noexcept
{
    if (dict == own_class.plain_dict) {
        // A str key set or deleted leaves every key a str: only the values read go.
        const bool keys_stay_str = (event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED ||
                                    event == PyDict_EVENT_DELETED || event == PyDict_EVENT_CLEARED) &&
                                   (!key || PyUnicode_CheckExact(key));
        own_class.values.clear();
        if (!keys_stay_str) {
            own_class.plain_dict = nullptr;
        }
    }
    if (dict == known_feed_types.namespace_dict) {
        known_feed_types.valid = false;
    }
    return 0;
}

int note_class_change(PyTypeObject* type) noexcept
{
    if (type == own_class.type) {
        own_class.unchanged = false;
    }
    for (const Ref& cls : known_feed_types.classes) {
        if (cls.get() == reinterpret_cast<PyObject*>(type)) {
            known_feed_types.valid = false;
        }
    }
    return 0;
}

/// Whether the next change of `type`, a watched class, will be reported: changes are reported
/// only for a class holding a version tag, which a change takes away, so it is given one again.
bool reports_next_change(PyTypeObject* type) noexcept
{
    return PyUnstable_Type_AssignVersionTag(type) == 1;
}

/// Starts over what is known of the class, when it still reads attributes generically.
bool relearn_class(OwnClass& c) noexcept
{
    if (!reports_next_change(c.type) || c.type->tp_getattro != PyObject_GenericGetAttr ||
        c.type->tp_dictoffset == 0) {
        return false;
    }
    c.absent.clear();
    c.unchanged = true;
    return true;
}

/// Whether the class and its bases have nothing named `name`, remembered until the class changes.
bool class_lacks(PyObject* name) noexcept
{
    OwnClass& c = own_class;
    if (!c.unchanged && !relearn_class(c)) {
        return false;
    }
    if (const bool* known = c.absent.find(name)) {
        return *known;
    }
    const bool absent = is_absent_from(c.type, name);
    c.absent.keep(name, absent);
    return absent;
}

/// Whether no lookup in `dict`, an instance dict, can run code: remembered until it changes.
/// It is watched apart from the node tables, so that the changes of one do not cost the other
/// what was known of it.
bool is_plain_instance_dict(PyObject* dict) noexcept
{
    OwnClass& c = own_class;
    if (dict == c.plain_dict) {
        return true;
    }
    c.values.clear();
    if (!watch_if_plain(dict, instance_watcher)) {
        return false;
    }
    c.plain_dict = dict;
    return true;
}

/// `dict[name]` (borrowed) or NULL, for the dict that is_plain_instance_dict() has just let through.
PyObject* read_plain_instance_dict(PyObject* dict, PyObject* name) noexcept
{
    OwnClass& c = own_class;
    if (PyObject* const* known = c.values.find(name)) {
        return *known;
    }
    PyObject* value = PyDict_GetItemWithError(dict, name);  // runs no code, cannot fail
    if (value) {
        c.values.keep(name, value);
    }
    return value;
}
#endif

}  // namespace

unsigned long long watched_changes = 1;

#ifdef FLOW_WATCHES_DICTS
namespace {

void start_watching() noexcept
{
    // Where changes may go unseen, nothing is watched, and no shortcut relies on watching. An
    // interpreter whose watchers are all taken by others leaves the module without them too.
    if (dict_watcher >= 0 || !watchers_see_every_change()) {
        return;
    }
    dict_watcher = PyDict_AddWatcher(count_change);
    instance_watcher = dict_watcher < 0 ? -1 : PyDict_AddWatcher(note_instance_dict_change);
    class_watcher = instance_watcher < 0 ? -1 : PyType_AddWatcher(note_class_change);
    if (class_watcher < 0) {
        PyErr_Clear();
    }
}

}  // namespace
#endif

void watch_own_class(PyObject* cls) noexcept
{
#ifdef FLOW_WATCHES_DICTS
    start_watching();
    if (class_watcher < 0 || PyType_Watch(class_watcher, cls) < 0) {
        PyErr_Clear();
        return;
    }
    PyTypeObject* replaced = std::exchange(own_class.type, reinterpret_cast<PyTypeObject*>(Py_NewRef(cls)));
    own_class.unchanged = false;
    Py_XDECREF(replaced);
#else
    (void)cls;
#endif
}

Ref own_attribute(PyObject* self, PyObject* name) noexcept
{
#ifdef FLOW_WATCHES_DICTS
    if (Py_TYPE(self) != own_class.type) {
        return Ref();
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) {
        PyErr_Clear();
        return Ref();
    }
    // Making the dict may have collected garbage, and so run code, which may have changed the
    // class of the object; nothing from here on runs any, so that where the name is absent, the
    // generic lookup that raises the error repeats it unobserved.
    if (Py_TYPE(self) != own_class.type || !class_lacks(name) || !is_plain_instance_dict(dict.get())) {
        return Ref();
    }
    return Ref::borrow(read_plain_instance_dict(dict.get(), name));
#else
    (void)self;
    (void)name;
    return Ref();
#endif
}

const Vector<PlainRecord>* plain_records(PyObject* table) noexcept
{
#ifdef FLOW_WATCHES_DICTS
    PlainTable& last = last_plain_table;
    if (last.table == table && last.at == watched_changes) {
        return last.records;
    }
    // Scans that rely on the records noted before stop relying on them.
    watched_changes++;
    last.table = nullptr;
    if (!note_records_if_plain(table, *last.records)) {
        return nullptr;
    }
    last.table = table;
    last.at = watched_changes;
    return last.records;
#else
    (void)table;
    return nullptr;
#endif
}

PlainScan::PlainScan(PyObject* table, PyObject* cur_node) noexcept
#ifdef FLOW_WATCHES_DICTS
    : records_(PyDict_CheckExact(table) && watch_if_plain(cur_node) ? plain_records(table) : nullptr),
      mark_(watched_changes)
#else
    : records_(nullptr), mark_(0)
#endif
{
    (void)table;
    (void)cur_node;
}

bool lookups_run_no_code(PyObject* dict) noexcept
{
    if (!enabled) {
        return false;
    }
    Py_ssize_t position = 0;
    PyObject *key, *value;  // borrowed
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
    }
    return true;
}

Ref plain_attribute(PyObject* obj, PyObject* name) noexcept
{
    if (!enabled) {
        return Ref();
    }
    if (Ref own = own_attribute(obj, name)) {
        return own;
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyType_Type) {
        return class_attribute(obj, name);
    }
    if (PyModule_CheckExact(obj)) {
        return module_attribute(obj, name);
    }
    return type->tp_getattro == PyObject_GenericGetAttr ? instance_attribute(obj, name) : Ref();
}

bool is_own_method(PyObject* self, PyObject* name, const Signature& sig) noexcept
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject* method;  // borrowed
    if (!enabled || type->tp_getattro != PyObject_GenericGetAttr ||
        find_in_mro(type, name, method) != Lookup::found || !is_method_for(method, sig)) {
        return false;
    }
    // The method binds like a function, so an instance attribute of the same name would win.
    Ref holder;
    PyObject* shadow;  // borrowed
    return find_in_instance(self, name, holder, shadow) == Lookup::absent;
}

namespace {

#ifdef FLOW_WATCHES_DICTS
/// The feed types known while nothing they were read from has changed.
bool recall_feed_types(Ref (&types)[4]) noexcept
{
    const KnownFeedTypes& known = known_feed_types;
    if (!known.valid || known.namespace_dict != PyModule_GetDict(recorded_module())) {
        return false;
    }
    for (size_t i = 0; i < 4; i++) {
        if (Py_TYPE(known.members[i].get()) != known.member_types[i]) {
            return false;
        }
    }
    for (size_t i = 0; i < 4; i++) {
        types[i] = Ref::borrow(known.types[i].get());
    }
    return true;
}

/// Adds the heap classes of `type`'s MRO to those watched for `known`; false where one cannot
/// be watched, or there are too many.
bool watch_classes_of(PyTypeObject* type, KnownFeedTypes& known, size_t& n) noexcept
{
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
        PyTypeObject* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        bool seen = false;
        for (size_t j = 0; j < n; j++) {
            seen = seen || known.classes[j].get() == reinterpret_cast<PyObject*>(base);
        }
        if (seen || is_builtin_type(base)) {
            continue;
        }
        if (n == std::size(known.classes) || PyType_Watch(class_watcher, reinterpret_cast<PyObject*>(base)) < 0 ||
            !reports_next_change(base)) {
            PyErr_Clear();
            return false;
        }
        known.classes[n++] = Ref::borrow(reinterpret_cast<PyObject*>(base));
    }
    return true;
}

/// Keeps `types`, read just now from `module` and its `members`, where every change of what
/// they were read from would be reported.
void remember_feed_types(PyObject* module, const Ref (&members)[4], const Ref (&types)[4]) noexcept
{
    KnownFeedTypes known;
    known.namespace_dict = PyModule_GetDict(recorded_module());
    if (class_watcher < 0 || Py_TYPE(module) != &PyType_Type ||
        PyDict_Watch(instance_watcher, known.namespace_dict) < 0) {
        PyErr_Clear();
        return;
    }
    size_t n = 0;
    if (!watch_classes_of(reinterpret_cast<PyTypeObject*>(module), known, n)) {
        return;
    }
    for (size_t i = 0; i < 4; i++) {
        PyTypeObject* type = Py_TYPE(members[i].get());
        if (!PyTuple_Check(members[i].get()) || type->tp_dictoffset != 0 || !watch_classes_of(type, known, n)) {
            return;
        }
        known.members[i] = Ref::borrow(members[i].get());
        known.member_types[i] = type;
        known.types[i] = Ref::borrow(types[i].get());
    }
    known.valid = true;
    known_feed_types = std::move(known);
}
#endif

/// plain_feed_types() the long way, with the members read on the way.
bool read_feed_types(PyObject* module, Ref (&members)[4], Ref (&types)[4]) noexcept
{
    const Names& n = names();
    PyObject* names_of_members[] = {n.VideoFeed, n.VFVideoFile, n.VFUsbCamera, n.VFIpCamera};
    for (size_t i = 0; i < 4; i++) {
        members[i] = plain_attribute(module, names_of_members[i]);
        types[i] = members[i] ? plain_attribute(members[i].get(), n.type) : Ref();
        if (!types[i] || !PyUnicode_CheckExact(types[i].get())) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool plain_feed_types(Ref (&types)[4]) noexcept
{
#ifdef FLOW_WATCHES_DICTS
    if (recall_feed_types(types)) {
        return true;
    }
    // What was known may be all that holds the classes and members it names: they go before
    // anything is read, as freeing them may run code.
    known_feed_types = KnownFeedTypes();
#endif
    Ref module = enabled ? plain_global(names().Module) : Ref();
    Ref members[4];
    if (!module || !read_feed_types(module.get(), members, types)) {
        return false;
    }
#ifdef FLOW_WATCHES_DICTS
    remember_feed_types(module.get(), members, types);
#endif
    return true;
}

}  // namespace fast
}  // namespace flow
