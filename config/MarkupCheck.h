// A look at a configuration document's bytes, in one pass, before libxml2
// reads it. libxml2 checks the attributes of a start tag against each other
// pair by pair, a declared attribute default against the element's others,
// and a prefix against every namespace in scope: a file of nothing but
// attributes (or defaults, or namespace declarations) takes minutes to read.
// Such a document is refused here instead.
#ifndef BRISKO_CONFIG_MARKUPCHECK_H
#define BRISKO_CONFIG_MARKUPCHECK_H

#include <cstddef>
#include <string>

namespace markup_check {

// The most attributes one element may have; also the most namespace
// declarations and (in a document that declares entities, whose text may
// build markup from them) character references a document may hold.
// Configuration elements have a handful.
constexpr long max_attributes = 1000;
// The most attribute defaults a document may declare: each is added to
// every element of its name, however short the element is in the file.
constexpr long max_attribute_defaults = 10;

// Why the document is not read, or "" when it may be: "line 12: more than
// 1000 attributes in one element" and the like. Any '=' (or character
// reference) between one '<' and the next counts as an attribute, so that
// nothing libxml2 would take for one is missed, wherever it stands.
std::string refusal(const char* data, size_t size);

} // namespace markup_check

#endif
