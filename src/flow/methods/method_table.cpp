#include "methods/method_table.hpp"

#include "methods/wrapper.hpp"
#include "support/calls.hpp"
#include "support/globals.hpp"
#include "support/names.hpp"

namespace flow {

const char class_doc[] =
    "Represents a Zorv flow related API instance\n"
    "\n"
    "    Args:\n"
    "        host(str): Host of the Node-RED server.  Normally 127.0.0.1\n"
    "        port(int): Port of the Node-RED server.  Default value is 1880\n"
    "        node_id(str): ID of the node.           Use NODE_ID env var if not set.\n"
    "        node_type(str): Type of the node.       Use NODE_TYPE env var if not set.\n"
    "    ";

namespace {

constexpr Param self_param{"self", Accepts::anything, nullptr};
constexpr Param cur_node_param{"cur_node", Accepts::dict, "dict"};

constexpr char load_flow_doc[] =
    "\n"
    "        Pull flow from Node-RED server and compose a dict\n"
    "\n"
    "        Args:\n"
    "            timeout(int): Timeout value in seconds. Default is 5 minutes.\n"
    "        ";

constexpr char parse_flow_doc[] =
    "Parse node-RED flow to find current/previous/next/vid-fed nodes\n"
    "\n"
    "        Returns:\n"
    "            dict: The result of the current, previous, next, and video-feed node.\n"
    "\n"
    "                .. code-block:: python\n"
    "\n"
    "                    {\n"
    "                        \"cur_node\": current node(dict)\n"
    "                        \"prev_nodes\": list of previous nodes\n"
    "                        \"next_nodes\": list of next nodes\n"
    "                        \"vid_fed\": {\"flow\": video feed node, \"port\": video port id}\n"
    "                    }\n"
    "        ";

// The three searches document their one parameter alike.
#define FLOW_SEARCH_DOC(first_line)   \
    first_line "\n"                   \
               "\n"                   \
               "        Args:\n"      \
               "            cur_node(dict): Target node info\n" \
               "        "

constexpr char seek_prev_nodes_doc[] =
    FLOW_SEARCH_DOC("Seek previous nodes that have the target node as a child.");
constexpr char seek_next_nodes_doc[] =
    FLOW_SEARCH_DOC("Seek next nodes that have the target node as a parent.");
constexpr char seek_video_feed_doc[] =
    FLOW_SEARCH_DOC("Seek VidFed node that has the target node as a child.");
#undef FLOW_SEARCH_DOC

/// The host default is read from the environment once, while the class is made:
/// `os.environ.get("NODE_RED_HOST", "127.0.0.1")`.
Ref init_defaults() noexcept
{
    const Names& n = names();
    Ref os = load_global(n.os);
    Ref environ = os ? Ref::steal(PyObject_GetAttr(os.get(), n.environ)) : Ref();
    Ref host = environ ? call_method(environ.get(), n.get, n.host_variable, n.host_fallback) : Ref();
    return host ? Ref::steal(PyTuple_Pack(4, host.get(), n.default_port, n.empty, n.empty)) : Ref();
}

Ref load_flow_defaults() noexcept { return Ref::steal(PyTuple_Pack(1, names().default_timeout)); }

}  // namespace

const Signature init_signature{
    "__init__",
    nullptr,
    "None",
    {self_param,
     {"host", Accepts::str, "str"},
     {"port", Accepts::int_or_none, "Optional[int]"},
     {"node_id", Accepts::str_or_none, "Optional[str]"},
     {"node_type", Accepts::str_or_none, "Optional[str]"}},
    5,
    1,
    init_defaults,
    wrapper_init,
};

const Signature load_flow_signature{
    "_load_flow",
    load_flow_doc,
    "bool",
    {self_param, {"timeout", Accepts::int_exact, "int"}},
    2,
    1,
    load_flow_defaults,
    wrapper_load_flow,
};

const Signature parse_flow_signature{
    "parse_flow", parse_flow_doc, "Union[dict, None]", {self_param}, 1, 1, nullptr, wrapper_parse_flow,
};

const Signature seek_prev_nodes_signature{
    "seek_prev_nodes", seek_prev_nodes_doc, "list", {self_param, cur_node_param},
    2,                 2,                   nullptr, wrapper_seek_prev_nodes,
};

const Signature seek_next_nodes_signature{
    "seek_next_nodes", seek_next_nodes_doc, "list", {self_param, cur_node_param},
    2,                 2,                   nullptr, wrapper_seek_next_nodes,
};

const Signature seek_video_feed_signature{
    "seek_video_feed", seek_video_feed_doc, "tuple", {self_param, cur_node_param},
    2,                 2,                   nullptr, wrapper_seek_video_feed,
};

}  // namespace flow
