#pragma once

#include <boost/property_tree/ptree.hpp>
#include <string>

#include "config/XmlLayout.h"

// The configuration file as the bridge reads it: within a size limit, refused
// when nested too deep, parsed into a tree (comments kept as nodes).
namespace config_xml {

struct Document {
    boost::property_tree::ptree tree;
    Layout layout;  // where the root's elements lie in the text
};

// The whole file; throws an xml_parser_error when it cannot be read or is
// larger than a configuration file can sensibly be.
std::string readWholeFile(const std::string& path);
// Throws an xml_parser_error naming `path` when the text does not parse.
Document parseDocument(const std::string& text, const std::string& path);

}  // namespace config_xml
