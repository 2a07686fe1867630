// CSimpleParseXml over pugixml.
//
// A node list handle is {list number, node count, document generation}. The
// lists a document's lookups produce are kept until Clear or Close, numbered
// from 1 (0 is the document itself); an identical lookup gets its earlier
// list back, so repeated lookups do not grow memory. The generation makes a
// handle from an earlier document find nothing in the current one.
#include "SimpleParseXml.h"

#include <string.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <pugixml.hpp>

namespace {

// Limits on what a reply may be: larger or deeper documents are refused.
const unsigned long kMaxDocumentBytes = 16ul * 1024 * 1024;
const size_t kMaxDepth = 256;

// The list number of "no such element": a list that is always empty.
const uint32_t kEmptyListId = 0xFFFFFFFFu;

// Skips the prolog (white space, the XML declaration, processing instructions
// and comments) and tells whether a document type declaration follows. Such a
// document is refused before the parser sees it, so no DTD is ever read.
bool HasDoctype(const char* p, const char* end) {
  while (p < end) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++p;
    } else if (end - p >= 3 && memcmp(p, "\xEF\xBB\xBF", 3) == 0) {
      p += 3;  // UTF-8 byte order mark
    } else if (end - p >= 2 && p[0] == '<' && p[1] == '?') {
      const char* close = static_cast<const char*>(memmem(p + 2, static_cast<size_t>(end - p - 2), "?>", 2));
      if (!close) return false;  // malformed; the parser says so
      p = close + 2;
    } else if (end - p >= 4 && memcmp(p, "<!--", 4) == 0) {
      const char* close = static_cast<const char*>(memmem(p + 4, static_cast<size_t>(end - p - 4), "-->", 3));
      if (!close) return false;
      p = close + 3;
    } else {
      return end - p >= 9 && memcmp(p, "<!DOCTYPE", 9) == 0;
    }
  }
  return false;
}

// Walks the tree without recursion. False when it nests elements deeper than
// the limit, holds a document type node anywhere, or is not one element with
// only comments and processing instructions beside it.
bool TreeIsAcceptable(const pugi::xml_document& doc) {
  size_t elements = 0;
  for (pugi::xml_node top = doc.first_child(); top; top = top.next_sibling()) {
    switch (top.type()) {
      case pugi::node_element:
        ++elements;
        break;
      case pugi::node_comment:
      case pugi::node_pi:
      case pugi::node_declaration:
        break;
      default:
        return false;  // text or a document type beside the root
    }
  }
  if (elements != 1) return false;
  pugi::xml_node node = doc.first_child();
  size_t depth = 1;
  while (node) {
    if (node.type() == pugi::node_doctype) return false;
    if (node.type() == pugi::node_element && depth > kMaxDepth) return false;
    if (node.first_child()) {
      node = node.first_child();
      ++depth;
      continue;
    }
    while (node && !node.next_sibling()) {
      node = node.parent();
      --depth;
      if (node == doc) return true;
    }
    if (node) node = node.next_sibling();
  }
  return true;
}

// Element names match exactly, or, for a name asked without a prefix, by the
// local part of a prefixed element ("serv:header" answers "header").
bool NameMatches(const char* elementName, const char* wanted) {
  if (strcmp(elementName, wanted) == 0) return true;
  if (strchr(wanted, ':')) return false;
  const char* colon = strchr(elementName, ':');
  return colon && strcmp(colon + 1, wanted) == 0;
}

}  // namespace

struct CSimpleParseXml::Impl {
  pugi::xml_document doc;
  bool loaded = false;
  uint32_t generation = 1;
  std::vector<std::vector<pugi::xml_node>> lists;  // list n is lists[n - 1]
  std::map<std::tuple<uint32_t, uint32_t, std::string, std::string, std::string, int>, uint32_t> lookups;
  std::map<const void*, std::string> joinedTexts;  // by element, for GetValue

  void Reset() {
    doc.reset();
    loaded = false;
    ++generation;
    if (generation == 0) generation = 1;  // a zero generation belongs to the document handle
    lists.clear();
    lookups.clear();
    joinedTexts.clear();
  }

  // The nodes a handle stands for, as a range into the document or a kept
  // list (no copy); false for a handle this document did not give.
  struct Range {
    const pugi::xml_node* first = nullptr;
    size_t count = 0;
    const pugi::xml_node* begin() const { return first; }
    const pugi::xml_node* end() const { return first + count; }
  };
  bool Resolve(const XML_NODE_LIST& handle, Range& out) const {
    out = Range();
    if (!loaded) return false;
    if (handle.dwId == 0 && handle.dwCount == 0 && handle.dwReserved == 0) {
      out.first = &doc;
      out.count = 1;
      return true;
    }
    if (handle.dwReserved != generation || handle.dwId == kEmptyListId) return false;
    if (handle.dwId == 0 || handle.dwId > lists.size()) return false;
    const std::vector<pugi::xml_node>& nodes = lists[handle.dwId - 1];
    out.first = nodes.data();
    out.count = nodes.size();
    return true;
  }

  // The nodes of a list that an index selects: one, or all of them.
  static Range Select(const Range& nodes, unsigned int index) {
    if (index == XML_INDEX_ALL) return nodes;
    Range one;
    if (index < nodes.count) {
      one.first = nodes.first + index;
      one.count = 1;
    }
    return one;
  }

  XML_NODE_LIST Empty() const { return XML_NODE_LIST{kEmptyListId, 0, generation}; }
};

CSimpleParseXml::CSimpleParseXml() : m_impl(nullptr) {
  try {
    m_impl = new Impl;
  } catch (...) {
    m_impl = nullptr;  // every call then fails softly
  }
}

CSimpleParseXml::~CSimpleParseXml() { delete m_impl; }

void CSimpleParseXml::Clear() {
  if (m_impl) m_impl->Reset();
}

void CSimpleParseXml::Close() {
  if (m_impl) m_impl->Reset();
}

int CSimpleParseXml::LoadXML(const char* text, unsigned long length) {
  if (!m_impl) return 0;
  m_impl->Reset();
  if (!text || length == 0 || length > kMaxDocumentBytes) return 0;
  if (HasDoctype(text, text + length)) return 0;
  try {
    // Predefined and numeric character references are expanded; any other
    // reference stays as written, since without a DTD nothing declares it.
    // Document type nodes are kept only to be found and refused; text outside
    // the root element is kept (fragment mode) only so that it can be refused.
    const unsigned int options = pugi::parse_default | pugi::parse_doctype | pugi::parse_fragment;
    pugi::xml_parse_result result = m_impl->doc.load_buffer(text, length, options, pugi::encoding_auto);
    if (!result || !m_impl->doc.document_element() || !TreeIsAcceptable(m_impl->doc)) {
      m_impl->Reset();
      return 0;
    }
    m_impl->loaded = true;
    return 1;
  } catch (...) {
    m_impl->Reset();
    return 0;
  }
}

XML_NODE_LIST CSimpleParseXml::GetNode(const XML_NODE_LIST& parent, unsigned int index, const char* name,
                                       const char* attrName, const char* attrValue) {
  XML_NODE_LIST none = {kEmptyListId, 0, 0};
  if (!m_impl) return none;
  none = m_impl->Empty();
  if (!name || !*name) return none;
  try {
    Impl::Range parents;
    if (!m_impl->Resolve(parent, parents)) return none;
    // The same lookup on the same list gives the same list back.
    auto key = std::make_tuple(parent.dwId, index, std::string(name), std::string(attrName ? attrName : ""),
                               std::string(attrValue ? attrValue : ""), (attrName ? 1 : 0) | (attrValue ? 2 : 0));
    auto known = m_impl->lookups.find(key);
    if (known != m_impl->lookups.end()) {
      uint32_t id = known->second;
      return XML_NODE_LIST{id, static_cast<uint32_t>(m_impl->lists[id - 1].size()), m_impl->generation};
    }
    std::vector<pugi::xml_node> found;
    for (const pugi::xml_node& p : Impl::Select(parents, index)) {
      for (pugi::xml_node child = p.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element || !NameMatches(child.name(), name)) continue;
        // With an attribute name, only children that carry it; with a value
        // too, only those where it has that value.
        if (attrName && *attrName) {
          pugi::xml_attribute a = child.attribute(attrName);
          if (!a || (attrValue && strcmp(a.value(), attrValue) != 0)) continue;
        }
        found.push_back(child);
      }
    }
    if (found.empty()) return none;
    if (m_impl->lists.size() >= kEmptyListId - 1) return none;
    m_impl->lists.push_back(std::move(found));
    uint32_t id = static_cast<uint32_t>(m_impl->lists.size());
    m_impl->lookups.emplace(std::move(key), id);
    return XML_NODE_LIST{id, static_cast<uint32_t>(m_impl->lists.back().size()), m_impl->generation};
  } catch (...) {
    return none;
  }
}

const char* CSimpleParseXml::GetValue(const XML_NODE_LIST& list, unsigned int index, const char* name) {
  if (!m_impl || !name || !*name) return nullptr;
  try {
    Impl::Range nodes;
    if (!m_impl->Resolve(list, nodes)) return nullptr;
    for (const pugi::xml_node& n : Impl::Select(nodes, index)) {
      for (pugi::xml_node child = n.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element || !NameMatches(child.name(), name)) continue;
        // The element's text: its text and CDATA children joined. One piece
        // (the usual case) lives in the document already.
        const char* single = nullptr;
        size_t pieces = 0;
        for (pugi::xml_node t = child.first_child(); t; t = t.next_sibling()) {
          if (t.type() == pugi::node_pcdata || t.type() == pugi::node_cdata) {
            if (pieces++ == 0) single = t.value();
          }
        }
        if (pieces == 0) return "";
        if (pieces == 1) return single;
        auto joined = m_impl->joinedTexts.emplace(child.internal_object(), std::string());
        if (joined.second) {
          for (pugi::xml_node t = child.first_child(); t; t = t.next_sibling()) {
            if (t.type() == pugi::node_pcdata || t.type() == pugi::node_cdata) joined.first->second += t.value();
          }
        }
        return joined.first->second.c_str();
      }
    }
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}
