#pragma once

#include <cstddef>
#include <map>
#include <string>

// Where the elements of a configuration document lie in its text, found by
// walking the text exactly as the property tree's XML reader does.
namespace config_xml {

// Byte range of one element: from its "<" to one past its end ("/>" or the
// closing tag's ">").
struct Span {
    std::size_t begin = 0;
    std::size_t end = 0;
};

struct Layout {
    // The first element of each name directly inside the first top-level
    // element named as the root (the one the reader's path look-ups see).
    std::map<std::string, Span> rootChildren;
};

// Walks `text` and throws a boost::property_tree::xml_parser_error when
// elements nest deeper than `maxDepth`: the reader and the tree recurse once
// per level, so a deep document would exhaust the stack. Stops quietly where
// the reader itself would stop with an error.
Layout scanDocument(const std::string& text, const std::string& root, int maxDepth,
                    const std::string& path);

}  // namespace config_xml
