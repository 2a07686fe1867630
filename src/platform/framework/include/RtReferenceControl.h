// Reference counting. A new object starts at 0; AddReference and
// ReleaseReference return the new count; reaching 0 calls OnReferenceDestroy,
// which deletes the object.
#ifndef QMX_RTREFERENCECONTROL_H
#define QMX_RTREFERENCECONTROL_H

#include <atomic>
#include <stdint.h>

#include "RtDefines.h"

class IReferenceControl {
 public:
  virtual uint32_t AddReference() = 0;
  virtual uint32_t ReleaseReference() = 0;
  virtual ~IReferenceControl() {}
};

class QMX_FRAMEWORK_API CReferenceControl {
 public:
  CReferenceControl() : m_dwReference(0) {}
  CReferenceControl(const CReferenceControl& o) : m_dwReference(o.m_dwReference.load()) {}
  virtual ~CReferenceControl() {}

  uint32_t AddReference() { return ++m_dwReference; }
  uint32_t ReleaseReference() {
    uint32_t n = --m_dwReference;
    if (n == 0) OnReferenceDestroy();
    return n;
  }
  uint32_t GetReference() const { return m_dwReference.load(); }

 protected:
  virtual void OnReferenceDestroy() { delete this; }
  std::atomic<uint32_t> m_dwReference;
};

// Counted pointer: adds a reference to the new object before releasing the
// old one (self-assignment is harmless) and releases on destruction.
template <class T>
class CRtAutoPtr {
 public:
  CRtAutoPtr() : m_p(nullptr) {}
  CRtAutoPtr(T* p) : m_p(p) {
    if (m_p) m_p->AddReference();
  }
  CRtAutoPtr(const CRtAutoPtr& o) : CRtAutoPtr(o.m_p) {}
  ~CRtAutoPtr() {
    if (m_p) m_p->ReleaseReference();
  }
  CRtAutoPtr& operator=(T* p) {
    if (p) p->AddReference();
    T* old = m_p;
    m_p = p;
    if (old) old->ReleaseReference();
    return *this;
  }
  CRtAutoPtr& operator=(const CRtAutoPtr& o) { return *this = o.m_p; }
  T* Get() const { return m_p; }
  T* operator->() const { return m_p; }
  T& operator*() const { return *m_p; }
  operator T*() const { return m_p; }
  // Address of the raw pointer, for out-parameters that hand over one
  // reference (the pointer must be null before).
  T** ParaOut() { return &m_p; }

 private:
  T* m_p;
};

#endif
