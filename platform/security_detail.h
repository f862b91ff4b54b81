// Pieces the security packages share: handle tables, buffer helpers, and
// the entry points of the Negotiate package that the common functions hand
// its handles to. Only files in platform/ include this.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/security.h"

namespace tw_platform::sspi {

// A handle's dwLower: a number never reused in the process.
ULONG_PTR nextHandleNumber();

// Handles of one kind of object; dwUpper carries the kind's tag, so that a
// handle of another kind or package is never found here.
template <typename T, ULONG_PTR Tag>
class HandleTable {
 public:
  SecHandle add(std::shared_ptr<T> item) {
    ULONG_PTR id = nextHandleNumber();
    std::lock_guard<std::mutex> lock(mutex_);
    items_[id] = std::move(item);
    return SecHandle{id, Tag};
  }
  static bool owns(const SecHandle* h) { return h != nullptr && h->dwUpper == Tag; }
  std::shared_ptr<T> find(const SecHandle* h) {
    if (!owns(h)) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = items_.find(h->dwLower);
    return it == items_.end() ? nullptr : it->second;
  }
  bool remove(const SecHandle* h) {
    if (!owns(h)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    return items_.erase(h->dwLower) == 1;
  }

 private:
  std::mutex mutex_;
  std::map<ULONG_PTR, std::shared_ptr<T>> items_;
};

PSecBuffer findBuffer(PSecBufferDesc desc, ULONG type);
// Puts the token into the TOKEN buffer of desc: allocated (FreeContextBuffer
// frees it) or into the caller's memory. SEC_E_INSUFFICIENT_MEMORY when an
// allocation fails, SEC_E_BUFFER_TOO_SMALL when the caller's buffer is.
SECURITY_STATUS putToken(PSecBufferDesc desc, const std::string& token, bool allocate);
// An expiry that never comes.
void never(PTimeStamp t);

// The Negotiate package (negotiate.cpp).
bool isNegotiatePackage(const char* name);
bool isNegotiateCredential(const SecHandle* h);
bool isNegotiateContext(const SecHandle* h);
SECURITY_STATUS negotiateAcquire(ULONG use, void* authData, PCredHandle credential,
                                 PTimeStamp expiry);
SECURITY_STATUS negotiateFreeCredentials(PCredHandle credential);
SECURITY_STATUS negotiateInitialize(PCredHandle credential, PCtxtHandle context, const char* target,
                                    ULONG requirements, PSecBufferDesc input,
                                    PCtxtHandle newContext, PSecBufferDesc output,
                                    ULONG* attributes, PTimeStamp expiry);
SECURITY_STATUS negotiateDelete(PCtxtHandle context);

}  // namespace tw_platform::sspi
