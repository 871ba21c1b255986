// The video-feed walk over an index of predecessors built once per search. Once the plan of
// fast_paths.cpp holds and the index is built, the walk touches only exact dicts, lists and str
// and allocates no object that the garbage collector tracks, so no Python code can run during
// it: the lookups that the step-by-step walk repeats at every step would give the same object
// each time, and seek_prev_nodes would give the entries that the index holds.
#include "methods/indexed_walk.hpp"

#include "fast/fast_paths.hpp"
#include "methods/method_table.hpp"
#include "support/exact_str.hpp"
#include "support/names.hpp"
#include "support/str_table.hpp"
#include "support/vector.hpp"

#include <iterator>

namespace flow {
namespace {

bool is_exact_str_or_absent(PyObject* value) noexcept { return !value || PyUnicode_CheckExact(value); }

/// The port entries that seek_prev_nodes would list for each id: (record, port) pairs in
/// table order, then port order, one per port that holds the id. Each record's id and type
/// are read once, when it is added: nothing can change them while the walk runs.
class PredecessorIndex {
public:
    struct Node {
        PyObject* record;  // borrowed from the table, as are the two below
        PyObject* id;      // exact str, or NULL when the record has none
        PyObject* type;    // exact str, or NULL
        Py_ssize_t number;  // of the id in ids(), or -1
    };

    /// 1 when built, 0 when the table holds anything but plain records, -1 on error.
    int build(PyObject* table) noexcept
    {
        // Most target ids are ids of records too.
        if (ids_.reserve(static_cast<size_t>(PyDict_GET_SIZE(table))) < 0) {
            return -1;
        }
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

    /// The first entry for the id of a node of the table, or -1.
    Py_ssize_t first_entry(const Node& node) const noexcept
    {
        return node.number < 0 ? -1 : heads_[static_cast<size_t>(node.number)];
    }

    const Node& node_of(Py_ssize_t entry) const noexcept { return nodes_[entries_[static_cast<size_t>(entry)].node]; }
    PyObject* record_of(Py_ssize_t entry) const noexcept { return node_of(entry).record; }
    Py_ssize_t port_of(Py_ssize_t entry) const noexcept { return entries_[static_cast<size_t>(entry)].port; }
    Py_ssize_t next_of(Py_ssize_t entry) const noexcept { return entries_[static_cast<size_t>(entry)].next; }
    /// Every id of the table, its records' and their targets'.
    const StrTable& ids() const noexcept { return ids_; }

private:
    struct Entry {
        size_t node;
        Py_ssize_t port;
        Py_ssize_t next;  // the next entry for the same id, or -1
    };

    int add_record(PyObject* record) noexcept
    {
        PyObject* fields[n_fields] = {};  // borrowed, NULL where the record has no such key
        if (!PyDict_CheckExact(record) || !read_fields(record, fields)) {
            return 0;
        }
        return add_plain_record(record, fields[id_field], fields[type_field], fields[wires_field]);
    }

    /// One pass over the keys of the exact dict `record`: false when one is not an exact str
    /// (a lookup in it could run code), else its "id", "type" and "wires" in `fields`. What
    /// three lookups would give, for their cost: the records of one download share their key
    /// objects, which are not the interned names, so that every lookup would compare texts.
    bool read_fields(PyObject* record, PyObject** fields) noexcept
    {
        Py_ssize_t position = 0;
        PyObject *key, *value;  // borrowed
        while (PyDict_Next(record, &position, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) {
                return false;
            }
            const int field = field_of(key);
            if (field >= 0) {
                fields[field] = value;
            }
        }
        return true;
    }

    /// Which of the fields the exact str `key` names, or -1. A key object found to name one
    /// is remembered for this build, so that the next record's is known by its address.
    int field_of(PyObject* key) noexcept
    {
        for (int field = 0; field < n_fields; field++) {
            if (key == field_keys_[field]) {
                return field;
            }
        }
        for (int field = 0; field < n_fields; field++) {
            if (field_names_[field].matches(key)) {
                field_keys_[field] = key;
                return field;
            }
        }
        return -1;
    }

    /// Adds an exact dict of exact str keys, with its "id", "type" and "wires" (each NULL where
    /// it has none).
    int add_plain_record(PyObject* record, PyObject* id, PyObject* type, PyObject* wires) noexcept
    {
        if (!is_exact_str_or_absent(id) || !is_exact_str_or_absent(type)) {
            return 0;
        }
        const Py_ssize_t number = id ? number_of(id) : -1;
        if ((id && number < 0) || nodes_.push(Node{record, id, type, number}) < 0) {
            return -1;
        }
        if (!wires) {
            return 1;
        }
        if (!PyList_CheckExact(wires)) {
            return 0;
        }
        for (Py_ssize_t port = 0; port < PyList_GET_SIZE(wires); port++) {
            const int added = add_port(nodes_.size() - 1, port, PyList_GET_ITEM(wires, port));
            if (added <= 0) {
                return added;
            }
        }
        return 1;
    }

    int add_port(size_t node, Py_ssize_t port, PyObject* target_ids) noexcept
    {
        if (!PyList_CheckExact(target_ids)) {
            return 0;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(target_ids); i++) {
            PyObject* id = PyList_GET_ITEM(target_ids, i);
            if (!PyUnicode_CheckExact(id)) {
                return 0;
            }
            if (add_entry(id, node, port) < 0) {
                return -1;
            }
        }
        return 1;
    }

    /// The number of `id`, with room for its entries; -1 on error.
    Py_ssize_t number_of(PyObject* id) noexcept
    {
        const Py_ssize_t number = ids_.insert(id);
        if (number >= 0 && static_cast<size_t>(number) == heads_.size() &&
            (heads_.push(-1) < 0 || tails_.push(-1) < 0)) {
            return -1;
        }
        return number;
    }

    int add_entry(PyObject* id, size_t node, Py_ssize_t port) noexcept
    {
        const Py_ssize_t number = number_of(id);
        if (number < 0) {
            return -1;
        }
        const size_t n = static_cast<size_t>(number);
        const Py_ssize_t tail = tails_[n];
        // An id listed twice in one port still makes one entry.
        if (tail >= 0 && entries_[static_cast<size_t>(tail)].node == node &&
            entries_[static_cast<size_t>(tail)].port == port) {
            return 1;
        }
        const Py_ssize_t entry = static_cast<Py_ssize_t>(entries_.size());
        if (entries_.push(Entry{node, port, -1}) < 0) {
            return -1;
        }
        (tail >= 0 ? entries_[static_cast<size_t>(tail)].next : heads_[n]) = entry;
        tails_[n] = entry;
        return 1;
    }

    static constexpr int id_field = 0, type_field = 1, wires_field = 2, n_fields = 3;
    const StrNeedle field_names_[n_fields] = {StrNeedle(names().id), StrNeedle(names().type),
                                              StrNeedle(names().wires)};
    PyObject* field_keys_[n_fields] = {names().id, names().type, names().wires};  // borrowed

    StrTable ids_;
    Vector<Py_ssize_t> heads_;
    Vector<Py_ssize_t> tails_;
    Vector<Node> nodes_;
    Vector<Entry> entries_;
};

class IndexedSearch {
public:
    /// 1 when everything the walk reads is plain, 0 when not, -1 on error.
    int prepare(PyObject* self, PyObject* start, PyObject* first_entries) noexcept
    {
        const int planned = PyList_CheckExact(first_entries) ? fast::plan_indexed_walk(self, start, seek_prev_nodes_signature,
                                                                                    seek_video_feed_signature, plan_) : 0;
        if (planned <= 0) {
            return planned;
        }
        for (size_t i = 0; i < std::size(plan_.types); i++) {
            feed_needles_[i] = StrNeedle(plan_.types[i]);
        }
        const int built = index_.build(plan_.table);
        return built > 0 ? lists_the_same(start, first_entries) : built;
    }

    /// The rest of the walk from `start`, entered already, in the order of the step-by-step one.
    Ref run(PyObject* start) noexcept
    {
        if (levels_.push(index_.first_entry(start)) < 0) {
            return Ref();
        }
        while (!levels_.empty()) {
            const Py_ssize_t entry = levels_.top();
            if (entry < 0) {
                levels_.pop();
                continue;
            }
            levels_.top() = index_.next_of(entry);
            const PredecessorIndex::Node& node = index_.node_of(entry);
            if (!node.type) {
                PyErr_SetObject(PyExc_KeyError, names().type);  // as `record["type"]` raises
                return Ref();
            }
            if (is_feed_type(node.type)) {
                // Held: making the answer may collect garbage, and a finalizer may empty the table.
                Ref found = Ref::borrow(node.record);
                Ref port = Ref::steal(PyLong_FromSsize_t(index_.port_of(entry)));
                return port ? Ref::steal(PyTuple_Pack(2, found.get(), port.get())) : Ref();
            }
            // A node with no entries has an id, and so has one that is entered.
            const int worth = index_.first_entry(node) >= 0 ? not_visited(node) : 0;
            if (worth < 0 || (worth && enter(node) < 0)) {
                return Ref();
            }
        }
        return Ref::steal(PyTuple_Pack(2, Py_None, Py_None));
    }

private:
    /// Whether the entries that the first step got for `start` are the ones the index holds:
    /// 1, or 0 when anything else made them.
    int lists_the_same(PyObject* start, PyObject* entries) const noexcept
    {
        Py_ssize_t entry = index_.first_entry(start);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries); i++, entry = index_.next_of(entry)) {
            if (entry < 0 || !is_entry_for(PyList_GET_ITEM(entries, i), entry)) {
                return 0;
            }
        }
        return entry < 0;
    }

    bool is_entry_for(PyObject* entry, Py_ssize_t number) const noexcept
    {
        if (!PyDict_CheckExact(entry) || PyDict_GET_SIZE(entry) != 2 || !fast::has_only_str_keys(entry)) {
            return false;
        }
        PyObject* record = PyDict_GetItemWithError(entry, names().node);  // borrowed
        PyObject* port = PyDict_GetItemWithError(entry, names().port);    // borrowed
        return record == index_.record_of(number) && port && PyLong_CheckExact(port) &&
               PyLong_AsSsize_t(port) == index_.port_of(number);
    }

    /// The ids of the table that are visited, noted at the first membership test: many walks
    /// never make one, and the list may be long after direct calls that nobody reset. An id
    /// that is not in the table is no node's, and no test asks for it.
    int note_visited_so_far() noexcept
    {
        for (size_t i = 0; i < index_.ids().size(); i++) {
            if (visited_numbers_.push(false) < 0) {
                return -1;
            }
        }
        PyObject* visited = plan_.visited;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(visited); i++) {
            const Py_ssize_t number = index_.ids().find(PyList_GET_ITEM(visited, i));
            if (number >= 0) {
                visited_numbers_[static_cast<size_t>(number)] = true;
            }
        }
        visited_noted_ = true;
        return 0;
    }

    bool is_feed_type(PyObject* type) const noexcept
    {
        for (const StrNeedle& feed_type : feed_needles_) {
            if (feed_type.matches(type)) {
                return true;
            }
        }
        return false;
    }

    /// 1 when the id of `node` is not among the visited ones, 0 when it is, -1 on error.
    int not_visited(const PredecessorIndex::Node& node) noexcept
    {
        if (!visited_noted_ && note_visited_so_far() < 0) {
            return -1;
        }
        return !visited_numbers_[static_cast<size_t>(node.number)];
    }

    /// Entering a node: its entries become a level, its id a visit.
    int enter(const PredecessorIndex::Node& node) noexcept
    {
        if (PyList_Append(plan_.visited, node.id) < 0) {
            return -1;
        }
        if (visited_noted_) {
            visited_numbers_[static_cast<size_t>(node.number)] = true;
        }
        return levels_.push(index_.first_entry(node));
    }

    fast::WalkPlan plan_;
    StrNeedle feed_needles_[4];
    PredecessorIndex index_;
    Vector<bool> visited_numbers_;  // per id of the table, once noted
    bool visited_noted_ = false;
    Vector<Py_ssize_t> levels_;  // per entered node: its next entry to examine, or -1
};

}  // namespace

Indexed indexed_video_feed_search(PyObject* self, PyObject* start, PyObject* first_entries, Ref& result) noexcept
{
    IndexedSearch search;
    const int ready = search.prepare(self, start, first_entries);
    if (ready <= 0) {
        return ready < 0 ? Indexed::error : Indexed::not_applicable;
    }
    result = search.run(start);
    return result ? Indexed::done : Indexed::error;
}

}  // namespace flow
