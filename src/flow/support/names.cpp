#include "support/names.hpp"

namespace flow {

Names detail::the_names;

namespace {

bool made = false;

int make_strings(Names& n) noexcept
{
#define FLOW_MAKE_STRING(field, text)                      \
    if (!(n.field = PyUnicode_InternFromString(text))) {   \
        return -1;                                         \
    }
    FLOW_STRINGS(FLOW_MAKE_STRING)
#undef FLOW_MAKE_STRING
    return 0;
}

int make_numbers_and_tuples(Names& n) noexcept
{
    n.one = PyLong_FromLong(1);
    n.default_timeout = PyLong_FromLong(300);
    n.default_port = PyLong_FromLong(1880);
    n.kw_headers = PyTuple_Pack(1, n.headers);
    n.kw_name = PyTuple_Pack(1, n.name);
    n.no_items = PyTuple_New(0);
    bool all = n.one && n.default_timeout && n.default_port && n.kw_headers && n.kw_name && n.no_items;
    return all ? 0 : -1;
}

void drop_all(Names& n) noexcept
{
#define FLOW_DROP_STRING(field, text) Py_CLEAR(n.field);
    FLOW_STRINGS(FLOW_DROP_STRING)
#undef FLOW_DROP_STRING
    Py_CLEAR(n.one);
    Py_CLEAR(n.default_timeout);
    Py_CLEAR(n.default_port);
    Py_CLEAR(n.kw_headers);
    Py_CLEAR(n.kw_name);
    Py_CLEAR(n.no_items);
}

}  // namespace

int init_names() noexcept
{
    if (made) {
        return 0;
    }
    Names fresh{};
    if (make_strings(fresh) < 0 || make_numbers_and_tuples(fresh) < 0) {
        drop_all(fresh);
        return -1;
    }
    detail::the_names = fresh;
    made = true;
    return 0;
}

}  // namespace flow
