// The flat interface of the HTTP client component: an opaque handle,
// numbered properties, numbered methods and numbered events.
//
// Every call on a handle returns an integer code (0 = success) and leaves
// that code and a message text as the handle's last error. A null handle
// makes Set, Do, CheckIndex and GetLastErrorCode return 200, Get return 0
// and GetLastError return null.
//
// Value passing. Set: integer and boolean properties take the value itself;
// text properties a zero-terminated text (null = empty); binary properties a
// pointer and a length (a negative length: zero-terminated); 64-bit
// properties a pointer to a signed 64-bit integer. Property id + 10000 takes
// UTF-16 text converted with the "CodePage" setting; id + 20000 takes raw
// bytes with the length. Get returns the value: an integer, or a pointer to a
// zero-terminated text owned by the component (valid until the property
// changes); the length of texts and bytes is stored through the pointer;
// 64-bit properties return a pointer to the value; id + 10000 returns UTF-16
// (valid until the next such read of the same property; the length in
// units). Unknown ids: Set returns -1, Get 0.
//
// Events: callback(user pointer, event id, argument count, arguments,
// lengths); integers are passed as values, texts as pointers. A callback that
// returns -10000 gets the same event again as id + 10000 with UTF-16 texts.
// The ids and the numbered property values are named in ComponentIds.h.
#pragma once

#include <cstdint>

#include "httpclient/transport/ComponentIds.h"
#include "platform/win32types.h"

// The Windows calling convention of the original interface; on this
// platform there is only one.
#define TESSILONSSL_CALL

typedef int(TESSILONSSL_CALL* TessilonSSL_HTTPS_EventCallback)(void* user, int eventId, int argc,
                                                               void* argv[], int argLengths[]);

// Process-wide start-up (module instance for the hidden window class; may be
// null) and clean-up. Both return 0.
int TESSILONSSL_CALL TessilonSSL_HTTPS_StaticInit(HINSTANCE module);
int TESSILONSSL_CALL TessilonSSL_HTTPS_StaticDestroy();

// A new handle, or null when memory is exhausted. Serialised by a
// process-wide lock.
void* TESSILONSSL_CALL TessilonSSL_HTTPS_Create(TessilonSSL_HTTPS_EventCallback callback,
                                               void* user);
// Releases a handle; a null handle is ignored. Returns 0.
int TESSILONSSL_CALL TessilonSSL_HTTPS_Destroy(void* handle);

int TESSILONSSL_CALL TessilonSSL_HTTPS_Set(void* handle, int propertyId, int index,
                                           const void* value, int length);
void* TESSILONSSL_CALL TessilonSSL_HTTPS_Get(void* handle, int propertyId, int index,
                                             int* length);
// Arguments are zero-terminated texts (null = empty; method id + 10000: UTF-16).
// Config stores its answer in argument slot 1 (and its length in lengths[1])
// when argc is at least 2. Unknown methods return -1.
int TESSILONSSL_CALL TessilonSSL_HTTPS_Do(void* handle, int methodId, int argc, void* argv[],
                                          int argLengths[]);
const char* TESSILONSSL_CALL TessilonSSL_HTTPS_GetLastError(void* handle);
int TESSILONSSL_CALL TessilonSSL_HTTPS_GetLastErrorCode(void* handle);
// 0 when the index is valid for that indexed property, 280 otherwise (also
// for an unknown or unindexed property).
int TESSILONSSL_CALL TessilonSSL_HTTPS_CheckIndex(void* handle, int propertyId, int index);
