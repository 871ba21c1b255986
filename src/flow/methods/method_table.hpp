// FlowAPIWrapper's surface as data: its docstring and one signature per method.
#pragma once

#include "binding/signature.hpp"

namespace flow {

extern const char class_doc[];

extern const Signature init_signature;
extern const Signature load_flow_signature;
extern const Signature parse_flow_signature;
extern const Signature seek_prev_nodes_signature;
extern const Signature seek_next_nodes_signature;
extern const Signature seek_video_feed_signature;

/// The methods in the order in which the class namespace receives them.
inline const Signature* const method_table[] = {
    &init_signature,           &load_flow_signature,       &parse_flow_signature,
    &seek_prev_nodes_signature, &seek_next_nodes_signature, &seek_video_feed_signature,
};

}  // namespace flow
