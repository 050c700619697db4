// The JSON document library: node model, lenient lazy parser and formatted writer.
#pragma once

#include <string>

#include "json/JSONChildren.h"
#include "json/JSONDefs.h"
#include "json/JSONIndent.h"
#include "json/JSONNode.h"
#include "json/JSONWorker.h"
#include "json/NumberToString.h"
#include "json/internalJSONNode.h"

namespace json {

// Parses one message text. Throws std::invalid_argument (empty message) when the text is not an
// object or array at its outermost level; anything malformed inside turns into null nodes when
// it is first read.
inline JSONNode parse(const json_string& text) {
    return JSONWorker::parse(text);
}
inline JSONNode parse(const std::string& text) {
    return JSONWorker::parse(text.data(), text.size());
}
inline JSONNode parse(const char* text) {
    return JSONWorker::parse(text, std::char_traits<char>::length(text));
}

}  // namespace json
