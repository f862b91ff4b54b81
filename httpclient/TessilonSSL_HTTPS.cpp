// The flat interface: handle checks, memory exhaustion, and the last-error
// completion after every Set and Do. All else is the component object's.
#include "httpclient/TessilonSSL_HTTPS.h"

#include <mutex>
#include <new>

#include "httpclient/protocol/HttpComponent.h"
#include "httpclient/transport/ComponentErrors.h"

using velmora::network::component::componentFromHandle;
using velmora::network::component::HttpComponent;
using velmora::network::component::kErrOutOfMemory;
using velmora::network::component::SocketEngine;
using velmora::network::component::TlsClient;

namespace {

std::mutex g_createLock;

}  // namespace

int TESSILONSSL_CALL TessilonSSL_HTTPS_StaticInit(HINSTANCE module) {
  SocketEngine::startup(module);
  TlsClient::startup();
  return 0;
}

int TESSILONSSL_CALL TessilonSSL_HTTPS_StaticDestroy() {
  TlsClient::shutdown();
  SocketEngine::shutdown();
  return 0;
}

void* TESSILONSSL_CALL TessilonSSL_HTTPS_Create(TessilonSSL_HTTPS_EventCallback callback,
                                               void* user) {
  std::lock_guard<std::mutex> lock(g_createLock);
  try {
    return new HttpComponent(callback, user);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

int TESSILONSSL_CALL TessilonSSL_HTTPS_Destroy(void* handle) {
  delete componentFromHandle(handle);
  return 0;
}

int TESSILONSSL_CALL TessilonSSL_HTTPS_Set(void* handle, int propertyId, int index,
                                           const void* value, int length) {
  HttpComponent* c = componentFromHandle(handle);
  if (c == nullptr) return kErrOutOfMemory;
  int code;
  try {
    c->clearError();
    code = c->setProperty(propertyId, index, value, length);
  } catch (const std::bad_alloc&) {
    code = kErrOutOfMemory;
  }
  c->completeError(code);
  return code;
}

void* TESSILONSSL_CALL TessilonSSL_HTTPS_Get(void* handle, int propertyId, int index,
                                             int* length) {
  HttpComponent* c = componentFromHandle(handle);
  if (c == nullptr) return nullptr;
  try {
    // A failed read replaces the last error; a read that works keeps it.
    c->rearmError();
    return c->getProperty(propertyId, index, length);
  } catch (const std::bad_alloc&) {
    c->completeError(kErrOutOfMemory);
    return nullptr;
  }
}

int TESSILONSSL_CALL TessilonSSL_HTTPS_Do(void* handle, int methodId, int argc, void* argv[],
                                          int argLengths[]) {
  HttpComponent* c = componentFromHandle(handle);
  if (c == nullptr) return kErrOutOfMemory;
  int code;
  try {
    c->clearError();
    code = c->doMethod(methodId, argc, argv, argLengths);
  } catch (const std::bad_alloc&) {
    code = kErrOutOfMemory;
  }
  c->completeError(code);
  return code;
}

const char* TESSILONSSL_CALL TessilonSSL_HTTPS_GetLastError(void* handle) {
  HttpComponent* c = componentFromHandle(handle);
  if (c == nullptr) return nullptr;
  return c->lastErrorText().c_str();
}

int TESSILONSSL_CALL TessilonSSL_HTTPS_GetLastErrorCode(void* handle) {
  HttpComponent* c = componentFromHandle(handle);
  if (c == nullptr) return kErrOutOfMemory;
  return c->lastErrorCode();
}

int TESSILONSSL_CALL TessilonSSL_HTTPS_CheckIndex(void* handle, int propertyId, int index) {
  HttpComponent* c = componentFromHandle(handle);
  if (c == nullptr) return kErrOutOfMemory;
  return c->checkIndex(propertyId, index);
}
