// FlowAPIWrapper._load_flow: pulls the deployed flow from the Node-RED Admin API, retrying
// once a second until the time limit, and rebuilds the node table from it.
#include "methods/wrapper.hpp"
#include "support/calls.hpp"
#include "support/compat.hpp"
#include "support/globals.hpp"
#include "support/names.hpp"
#include "support/ports.hpp"

namespace flow {
namespace {

/// `f"{self.url}/flows"`
Ref flows_url(PyObject* self) noexcept
{
    Ref url = Ref::steal(PyObject_GetAttr(self, names().url));
    Ref text = url ? display(url.get()) : Ref();
    return text ? Ref::steal(PyUnicode_Concat(text.get(), names().flows_path)) : Ref();
}

Ref api_headers() noexcept
{
    Ref headers = Ref::steal(PyDict_New());
    if (headers &&
        PyDict_SetItem(headers.get(), names().api_version_header, names().api_version) < 0) {
        return Ref();
    }
    return headers;
}

/// One attempt: `requests.get(f"{self.url}/flows", headers={...}).json().get("flows")`,
/// evaluated in that order.
Ref download_flows(PyObject* self) noexcept
{
    const Names& n = names();
    Ref requests = load_global(n.requests);
    Ref get = requests ? Ref::steal(PyObject_GetAttr(requests.get(), n.get)) : Ref();
    Ref url = get ? flows_url(self) : Ref();
    Ref headers = url ? api_headers() : Ref();
    if (!headers) {
        return Ref();
    }
    PyObject* stack[] = {nullptr, url.get(), headers.get()};
    Ref response = Ref::steal(
        PyObject_Vectorcall(get.get(), stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, n.kw_headers));
    Ref body = response ? call_method(response.get(), n.json) : Ref();
    return body ? call_method(body.get(), n.get, n.flows) : Ref();
}

/// `logger.error("Failed to parse flow - " + str(error))`
int log_failed_attempt(PyObject* error) noexcept
{
    LogLine line(names().error);
    Ref shown = line.ready() ? Ref::steal(PyObject_Str(error)) : Ref();
    Ref message = shown ? Ref::steal(PyUnicode_FromFormat("Failed to parse flow - %U", shown.get())) : Ref();
    return line.write(message.get());
}

Ref call_time(PyObject* function_name, PyObject* argument = nullptr) noexcept
{
    Ref time = load_global(names().time);
    if (!time) {
        return time;
    }
    return argument ? call_method(time.get(), function_name, argument)
                    : call_method(time.get(), function_name);
}

/// `time.time() - start > timeout`: 1, 0, or -1 on error.
int time_is_up(PyObject* start, PyObject* timeout) noexcept
{
    Ref now = call_time(names().time);
    Ref elapsed = now ? Ref::steal(PyNumber_Subtract(now.get(), start)) : Ref();
    Ref over = elapsed ? Ref::steal(PyObject_RichCompare(elapsed.get(), timeout, Py_GT)) : Ref();
    return over ? PyObject_IsTrue(over.get()) : -1;
}

int log_give_up(PyObject* timeout) noexcept
{
    LogLine line(names().error);
    Ref shown = line.ready() ? display(timeout) : Ref();
    Ref message = shown ? Ref::steal(PyUnicode_FromFormat(
                              "Failed to download flow in %U sec, exiting...", shown.get()))
                        : Ref();
    return line.write(message.get());
}

enum class Retry { again, gave_up, error };

/// The except clause of a failed attempt: the line for it, the time check, the give-up line or
/// the pause before the next attempt.
Retry handle_failed_attempt(PyObject* error, PyObject* start, PyObject* timeout) noexcept
{
    if (log_failed_attempt(error) < 0) {
        return Retry::error;
    }
    const int up = time_is_up(start, timeout);
    if (up != 0) {
        return up < 0 || log_give_up(timeout) < 0 ? Retry::error : Retry::gave_up;
    }
    return call_time(names().sleep, names().one) ? Retry::again : Retry::error;
}

/// Takes the exception of a failed attempt and handles it as the except clause does, with it
/// as the exception being handled, so that whatever the clause raises chains to it. An
/// exception that is not an Exception is not caught.
Retry retry_after_failure(PyObject* start, PyObject* timeout) noexcept
{
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return Retry::error;
    }
    Ref error = take_raised_exception();
    Ref outer = swap_handled_exception(Ref::borrow(error.get()));
    const Retry retry = handle_failed_attempt(error.get(), start, timeout);
    swap_handled_exception(std::move(outer));
    return retry;
}

/// `{f["id"]: f for f in flows}`: made whole before anyone sees it.
Ref build_node_table(PyObject* flows) noexcept
{
    Ref table = Ref::steal(PyDict_New());
    if (!table) {
        return table;
    }
    const int built = for_each_item(flows, [&](PyObject* record, Py_ssize_t) {
        Ref id = item_of(record, names().id);
        return id ? PyDict_SetItem(table.get(), id.get(), record) : -1;
    });
    return built < 0 ? Ref() : std::move(table);
}

}  // namespace

PyObject* wrapper_load_flow(PyObject* const* args) noexcept
{
    PyObject* self = args[0];
    PyObject* timeout = args[1];
    Ref start = call_time(names().time);
    if (!start) {
        return nullptr;
    }
    Ref flows;
    while (!(flows = download_flows(self))) {
        const Retry retry = retry_after_failure(start.get(), timeout);
        if (retry != Retry::again) {
            return retry == Retry::error ? nullptr : Py_NewRef(Py_False);
        }
    }
    Ref table = build_node_table(flows.get());
    if (!table || PyObject_SetAttr(self, names().nodes, table.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_TRUE;
}

}  // namespace flow
