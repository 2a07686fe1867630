// qmxSimpleParseXml: the small XML reader the module reads the site's replies
// with. Hostile documents are refused: no DTD, no entities beyond the
// predefined ones, no external resources, bounded depth and size.
#ifndef QMX_SIMPLEPARSEXML_H
#define QMX_SIMPLEPARSEXML_H

#include <stdint.h>

#if defined(QMX_XML_BUILD)
#define QMX_XML_API __attribute__((visibility("default")))
#else
#define QMX_XML_API __attribute__((visibility("default")))
#endif

// A list of nodes, passed by value. All zeros: the document. The second word
// is the number of nodes in the list; 0 means no such element.
struct XML_NODE_LIST {
  uint32_t dwId;
  uint32_t dwCount;
  uint32_t dwReserved;
};

#define XML_INDEX_ALL 0xFFFFFFFFu

class QMX_XML_API CSimpleParseXml {
 public:
  CSimpleParseXml();
  ~CSimpleParseXml();

  // Forgets the previous document.
  void Clear();
  // Parses a document; 0 on failure (malformed or refused), non-zero on success.
  int LoadXML(const char* text, unsigned long length);
  // The child elements named name of the index-th node of parent (0 the
  // first; XML_INDEX_ALL: of every node of parent). attrName/attrValue, when
  // both given, keep only children with that attribute value.
  XML_NODE_LIST GetNode(const XML_NODE_LIST& parent, unsigned int index, const char* name, const char* attrName,
                        const char* attrValue);
  // The text of child element name of the index-th node of list, or null.
  // Valid until the next Clear or Close.
  const char* GetValue(const XML_NODE_LIST& list, unsigned int index, const char* name);
  // Releases the parsed document.
  void Close();

 private:
  CSimpleParseXml(const CSimpleParseXml&) = delete;
  CSimpleParseXml& operator=(const CSimpleParseXml&) = delete;
  struct Impl;
  Impl* m_impl;
};

#endif
