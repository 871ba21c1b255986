// The interned names and constant objects that the module's code uses, made once per
// process by the module's exec step and never released (the module lives as long as the
// process does).
#pragma once

#include <Python.h>

namespace flow {

// Interned str objects: field name, then text. Keyword and attribute matching compares
// these by pointer first, so every name that is looked up or matched is listed here.
#define FLOW_STRINGS(X)                                   \
    X(empty, "")                                          \
    X(id, "id")                                           \
    X(type, "type")                                       \
    X(wires, "wires")                                     \
    X(node, "node")                                       \
    X(port, "port")                                       \
    X(flows, "flows")                                     \
    X(flow, "flow")                                       \
    X(get, "get")                                         \
    X(json, "json")                                       \
    X(values, "values")                                   \
    X(append, "append")                                   \
    X(url, "url")                                         \
    X(nodes, "_nodes")                                    \
    X(visited_node_ids, "_visited_node_ids")              \
    X(node_id, "node_id")                                 \
    X(node_type, "node_type")                             \
    X(cur_node, "cur_node")                               \
    X(prev_nodes, "prev_nodes")                           \
    X(next_nodes, "next_nodes")                           \
    X(vid_fed, "vid_fed")                                 \
    X(error, "error")                                     \
    X(info, "info")                                       \
    X(time, "time")                                       \
    X(sleep, "sleep")                                     \
    X(headers, "headers")                                 \
    X(environ, "environ")                                 \
    X(name, "name")                                       \
    X(load_flow, "_load_flow")                            \
    X(seek_prev_nodes, "seek_prev_nodes")                 \
    X(seek_next_nodes, "seek_next_nodes")                 \
    X(seek_video_feed, "seek_video_feed")                 \
    X(VideoFeed, "VideoFeed")                             \
    X(VFVideoFile, "VFVideoFile")                         \
    X(VFUsbCamera, "VFUsbCamera")                         \
    X(VFIpCamera, "VFIpCamera")                           \
    X(os, "os")                                           \
    X(requests, "requests")                               \
    X(logger, "logger")                                   \
    X(Module, "Module")                                   \
    X(NODE_ID, "NODE_ID")                                 \
    X(NODE_TYPE, "NODE_TYPE")                             \
    X(get_logger, "get_logger")                           \
    X(FlowAPIWrapper, "FlowAPIWrapper")                   \
    X(Optional, "Optional")                               \
    X(Union, "Union")                                     \
    X(typing, "typing")                                   \
    X(sdk_constants, "zorv_sdk.constants")                \
    X(sdk_logging, "zorv_sdk.logging")                    \
    X(module_name, "zorv_sdk.nodered.flow")               \
    X(dunder_module, "__module__")                        \
    X(dunder_qualname, "__qualname__")                    \
    X(dunder_doc, "__doc__")                              \
    X(dunder_name, "__name__")                            \
    X(api_version_header, "Node-RED-API-Version")         \
    X(api_version, "v2")                                  \
    X(flows_path, "/flows")                               \
    X(node_info_prefix, "Node info: ")                    \
    X(prev_nodes_prefix, "Previous nodes - ")             \
    X(next_nodes_prefix, "Next nodes - ")                 \
    X(feed_prefix, "vid-fed node - ")                     \
    X(comma, ", ")                                        \
    X(host_variable, "NODE_RED_HOST")                     \
    X(host_fallback, "127.0.0.1")                         \
    X(logger_name, "FLOW")

struct Names {
#define FLOW_DECLARE_STRING(field, text) PyObject* field;
    FLOW_STRINGS(FLOW_DECLARE_STRING)
#undef FLOW_DECLARE_STRING
    PyObject* one;
    PyObject* default_timeout;  // 300
    PyObject* default_port;     // 1880
    PyObject* kw_headers;       // ("headers",)
    PyObject* kw_name;          // ("name",)
    PyObject* no_items;         // ()
};

namespace detail {
extern Names the_names;
}

/// The process-wide constants (borrowed); valid once `init_names` succeeded.
inline const Names& names() noexcept { return detail::the_names; }

/// Makes the constants on first use; later calls do nothing. Returns -1 with an exception set.
int init_names() noexcept;

}  // namespace flow
