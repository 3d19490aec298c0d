// Owning wrappers around the libimobiledevice and libplist handles the device code holds.
// Private to the device library: nothing outside device/ sees these types.
#pragma once

#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <libimobiledevice/mobilebackup2.h>
#include <libimobiledevice/notification_proxy.h>
#include <plist/plist.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace halvern::device {

template <typename T, auto Free>
struct HandleFree {
  void operator()(T* handle) const {
    if (handle) Free(handle);
  }
};

using DeviceHandle = std::unique_ptr<idevice_private, HandleFree<idevice_private, idevice_free>>;
using LockdownHandle = std::unique_ptr<lockdownd_client_private,
                                       HandleFree<lockdownd_client_private, lockdownd_client_free>>;
using ServiceHandle =
    std::unique_ptr<lockdownd_service_descriptor,
                    HandleFree<lockdownd_service_descriptor, lockdownd_service_descriptor_free>>;
using NotifyHandle =
    std::unique_ptr<np_client_private, HandleFree<np_client_private, np_client_free>>;
using AfcHandle =
    std::unique_ptr<afc_client_private, HandleFree<afc_client_private, afc_client_free>>;
using BackupHandle =
    std::unique_ptr<mobilebackup2_client_private,
                    HandleFree<mobilebackup2_client_private, mobilebackup2_client_free>>;

// A plist node owned by its holder (plist_t is an untyped pointer, so unique_ptr cannot
// name it directly).
class Plist {
 public:
  Plist() = default;
  explicit Plist(plist_t node) : node_(node) {}
  ~Plist() { Reset(); }
  Plist(Plist&& other) noexcept : node_(other.Release()) {}
  Plist& operator=(Plist&& other) noexcept {
    if (this != &other) {
      Reset();
      node_ = other.Release();
    }
    return *this;
  }
  Plist(const Plist&) = delete;
  Plist& operator=(const Plist&) = delete;

  plist_t get() const { return node_; }
  plist_t* out() {
    Reset();
    return &node_;
  }
  plist_t Release() {
    plist_t node = node_;
    node_ = nullptr;
    return node;
  }
  void Reset() {
    if (node_) plist_free(node_);
    node_ = nullptr;
  }
  explicit operator bool() const { return node_ != nullptr; }

 private:
  plist_t node_ = nullptr;
};

// A C string allocated by the library with malloc.
using CString = std::unique_ptr<char, decltype(&std::free)>;
inline CString TakeCString(char* text) { return CString(text, &std::free); }

// The AFC dictionary of a file-info answer, freed with afc_dictionary_free.
struct AfcDictionaryFree {
  void operator()(char** dictionary) const {
    if (dictionary) afc_dictionary_free(dictionary);
  }
};
using AfcDictionary = std::unique_ptr<char*, AfcDictionaryFree>;

// Node helpers: nullopt-free reads that treat a missing or mistyped node as absent.
inline bool PlistString(plist_t node, std::string& out) {
  if (!node || plist_get_node_type(node) != PLIST_STRING) return false;
  char* text = nullptr;
  plist_get_string_val(node, &text);
  if (!text) return false;
  out = text;
  std::free(text);
  return true;
}

inline bool PlistReal(plist_t node, double& out) {
  if (!node) return false;
  if (plist_get_node_type(node) == PLIST_REAL) {
    plist_get_real_val(node, &out);
    return true;
  }
  if (plist_get_node_type(node) == PLIST_UINT) {
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    out = static_cast<double>(value);
    return true;
  }
  return false;
}

}  // namespace halvern::device
