// The security packages: TLS client contexts with SChannel's interface
// ("Microsoft Unified Security Protocol Provider") and client contexts of
// "Negotiate" (below), with the Windows structures, flags and status codes.
//
// Buffers and statuses follow SChannel:
// - Received bytes are taken in whole TLS records. When the first record is
//   not complete, SEC_E_INCOMPLETE_MESSAGE is returned and nothing is
//   consumed; bytes that follow the records a call used come back as a
//   SECBUFFER_EXTRA buffer giving how many bytes at the end of the input
//   are left. A record header announcing more than 18,432 bytes, or one
//   that is no TLS record header at all, fails at once.
// - DecryptMessage decrypts in place: STREAM_HEADER, DATA and STREAM_TRAILER
//   point into the caller's buffer, EXTRA at the next record. Records that
//   carry no data (TLS 1.3 session tickets and key updates) never surface:
//   when no data is left, the result is SEC_E_OK with an empty DATA buffer.
//   The server's close_notify gives SEC_I_CONTEXT_EXPIRED. A TLS 1.2
//   HelloRequest gives SEC_I_RENEGOTIATE before anything is answered: a
//   following InitializeSecurityContextA runs the new handshake (its input
//   may start with the HelloRequest record again, which is skipped), while
//   ApplyControlToken with the warning alert no_renegotiation (100) makes
//   the next InitializeSecurityContextA produce that one alert instead.
// - ApplyControlToken(SCHANNEL_SHUTDOWN) makes the next
//   InitializeSecurityContextA produce close_notify.
// - A server asking for a client certificate gives
//   SEC_I_INCOMPLETE_CREDENTIALS once; the next call goes on without one.
// - Failing statuses: a protocol version or cipher refused (also by the
//   peer's alert) SEC_E_ALGORITHM_MISMATCH; other alerts and malformed
//   messages SEC_E_ILLEGAL_MESSAGE; a bad record SEC_E_DECRYPT_FAILURE;
//   anything else SEC_E_INTERNAL_ERROR. A failing handshake step that has an
//   alert to send gives it as the output token with ISC_RET_EXTENDED_ERROR.
//
// The package never judges the server certificate (the caller does, through
// SECPKG_ATTR_REMOTE_CERT_CONTEXT and the certificate functions). The
// server name is sent (SNI) when the target name is a host name, not an IP
// address literal. Contexts made from one credentials handle resume the
// session the previous one left in it. SECPKG_ATTR_ENDPOINT_BINDINGS gives
// the channel bindings of the connection: "tls-server-end-point:" and the
// hash of the server certificate (SHA-256 when its signature uses MD5 or
// SHA-1, else the signature's hash).
//
// "Negotiate" is SPNEGO through the system's GSS-API library, loaded at the
// first credentials; without it the package does not exist
// (SEC_E_SECPKG_NOT_FOUND). Credentials: a SEC_WINNT_AUTH_IDENTITY_A with
// user, domain (the Kerberos realm: user@domain) and password, or none for
// the default credentials cache. The target name is a principal name
// ("HTTP/host"). The input of InitializeSecurityContextA may carry the
// server's token and a SECBUFFER_CHANNEL_BINDINGS buffer (the first call's
// bindings hold for the context). Failures: a wrong password
// SEC_E_LOGON_DENIED, no KDC reachable SEC_E_NO_AUTHENTICATING_AUTHORITY, an
// unknown service SEC_E_TARGET_UNKNOWN, a token longer than the caller's
// buffer SEC_E_BUFFER_TOO_SMALL, anything else SEC_E_INTERNAL_ERROR.
#pragma once

#include "platform/certificates.h"
#include "platform/win32types.h"

typedef LONG SECURITY_STATUS;
typedef CHAR SEC_CHAR;

typedef struct _SecHandle {
  ULONG_PTR dwLower;
  ULONG_PTR dwUpper;
} SecHandle, *PSecHandle;
typedef SecHandle CredHandle;
typedef PSecHandle PCredHandle;
typedef SecHandle CtxtHandle;
typedef PSecHandle PCtxtHandle;

typedef struct _SECURITY_INTEGER {
  ULONG LowPart;
  LONG HighPart;
} SECURITY_INTEGER, *PSECURITY_INTEGER;
typedef SECURITY_INTEGER TimeStamp;
typedef SECURITY_INTEGER* PTimeStamp;

typedef struct _SecBuffer {
  ULONG cbBuffer;
  ULONG BufferType;
  void* pvBuffer;
} SecBuffer, *PSecBuffer;

typedef struct _SecBufferDesc {
  ULONG ulVersion;
  ULONG cBuffers;
  PSecBuffer pBuffers;
} SecBufferDesc, *PSecBufferDesc;

#define SECBUFFER_VERSION 0
#define SECBUFFER_EMPTY 0
#define SECBUFFER_DATA 1
#define SECBUFFER_TOKEN 2
#define SECBUFFER_MISSING 4
#define SECBUFFER_EXTRA 5
#define SECBUFFER_STREAM_TRAILER 6
#define SECBUFFER_STREAM_HEADER 7
#define SECBUFFER_CHANNEL_BINDINGS 14
#define SECBUFFER_ALERT 17

#define SECURITY_NATIVE_DREP 0x00000010
#define SECPKG_CRED_INBOUND 0x00000001
#define SECPKG_CRED_OUTBOUND 0x00000002

#define UNISP_NAME_A "Microsoft Unified Security Protocol Provider"
#define NEGOSSP_NAME_A "Negotiate"

// Credentials of "Negotiate": texts with their lengths (ANSI).
#define SEC_WINNT_AUTH_IDENTITY_ANSI 0x1
typedef struct _SEC_WINNT_AUTH_IDENTITY_A {
  unsigned char* User;
  ULONG UserLength;
  unsigned char* Domain;
  ULONG DomainLength;
  unsigned char* Password;
  ULONG PasswordLength;
  ULONG Flags;
} SEC_WINNT_AUTH_IDENTITY_A, *PSEC_WINNT_AUTH_IDENTITY_A;

// Channel bindings: this header, then the parts at their offsets from its
// start.
typedef struct _SEC_CHANNEL_BINDINGS {
  ULONG dwInitiatorAddrType;
  ULONG cbInitiatorLength;
  ULONG dwInitiatorOffset;
  ULONG dwAcceptorAddrType;
  ULONG cbAcceptorLength;
  ULONG dwAcceptorOffset;
  ULONG cbApplicationDataLength;
  ULONG dwApplicationDataOffset;
} SEC_CHANNEL_BINDINGS, *PSEC_CHANNEL_BINDINGS;

// Algorithm identifiers (CryptoAPI).
typedef unsigned int ALG_ID;
#define CALG_MD2 0x00008001
#define CALG_MD4 0x00008002
#define CALG_MD5 0x00008003
#define CALG_SHA 0x00008004
#define CALG_SHA1 0x00008004
#define CALG_MAC 0x00008005
#define CALG_SSL3_SHAMD5 0x00008008
#define CALG_HMAC 0x00008009
#define CALG_TLS1PRF 0x0000800a
#define CALG_HASH_REPLACE_OWF 0x0000800b
#define CALG_SHA_256 0x0000800c
#define CALG_SHA_384 0x0000800d
#define CALG_SHA_512 0x0000800e
#define CALG_NO_SIGN 0x00002000
#define CALG_DSS_SIGN 0x00002200
#define CALG_ECDSA 0x00002203
#define CALG_RSA_SIGN 0x00002400
#define CALG_RSA_KEYX 0x0000a400
#define CALG_HUGHES_MD5 0x0000a003
#define CALG_ECMQV 0x0000a001
#define CALG_DH_SF 0x0000aa01
#define CALG_DH_EPHEM 0x0000aa02
#define CALG_AGREEDKEY_ANY 0x0000aa03
#define CALG_KEA_KEYX 0x0000aa04
#define CALG_ECDH 0x0000aa05
#define CALG_ECDH_EPHEM 0x0000ae06
#define CALG_DES 0x00006601
#define CALG_RC2 0x00006602
#define CALG_3DES 0x00006603
#define CALG_DESX 0x00006604
#define CALG_3DES_112 0x00006609
#define CALG_SKIPJACK 0x0000660a
#define CALG_TEK 0x0000660b
#define CALG_CYLINK_MEK 0x0000660c
#define CALG_RC5 0x0000660d
#define CALG_AES_128 0x0000660e
#define CALG_AES_192 0x0000660f
#define CALG_AES_256 0x00006610
#define CALG_AES 0x00006611
#define CALG_RC4 0x00006801
#define CALG_SEAL 0x00006802
#define CALG_SSL3_MASTER 0x00004c01
#define CALG_SCHANNEL_MASTER_HASH 0x00004c02
#define CALG_SCHANNEL_MAC_KEY 0x00004c03
#define CALG_PCT1_MASTER 0x00004c04
#define CALG_SSL2_MASTER 0x00004c05
#define CALG_TLS1_MASTER 0x00004c06
#define CALG_SCHANNEL_ENC_KEY 0x00004c07
#define CALG_OID_INFO_PARAMETERS 0xfffffffe
#define CALG_OID_INFO_CNG_ONLY 0xffffffff

// Protocol bits: a version is enabled when its server or client bit is set.
#define SP_PROT_PCT1_SERVER 0x00000001
#define SP_PROT_PCT1_CLIENT 0x00000002
#define SP_PROT_SSL2_SERVER 0x00000004
#define SP_PROT_SSL2_CLIENT 0x00000008
#define SP_PROT_SSL3_SERVER 0x00000010
#define SP_PROT_SSL3_CLIENT 0x00000020
#define SP_PROT_TLS1_SERVER 0x00000040
#define SP_PROT_TLS1_CLIENT 0x00000080
#define SP_PROT_TLS1_1_SERVER 0x00000100
#define SP_PROT_TLS1_1_CLIENT 0x00000200
#define SP_PROT_TLS1_2_SERVER 0x00000400
#define SP_PROT_TLS1_2_CLIENT 0x00000800
#define SP_PROT_TLS1_3_SERVER 0x00001000
#define SP_PROT_TLS1_3_CLIENT 0x00002000

#define SCHANNEL_CRED_VERSION 0x00000004
#define SCH_CRED_NO_SYSTEM_MAPPER 0x00000002
#define SCH_CRED_NO_SERVERNAME_CHECK 0x00000004
#define SCH_CRED_MANUAL_CRED_VALIDATION 0x00000008
#define SCH_CRED_NO_DEFAULT_CREDS 0x00000010
#define SCH_CRED_AUTO_CRED_VALIDATION 0x00000020
#define SCH_CRED_USE_DEFAULT_CREDS 0x00000040

struct _HMAPPER;

// The credential: protocols, the algorithms allowed (none listed: all the
// package offers) and the cipher strengths in bits (0: no bound). A client
// certificate (cCreds) is not offered by this package.
typedef struct _SCHANNEL_CRED {
  DWORD dwVersion;
  DWORD cCreds;
  PCCERT_CONTEXT* paCred;
  HCERTSTORE hRootStore;
  DWORD cMappers;
  struct _HMAPPER** aphMappers;
  DWORD cSupportedAlgs;
  ALG_ID* palgSupportedAlgs;
  DWORD grbitEnabledProtocols;
  DWORD dwMinimumCipherStrength;
  DWORD dwMaximumCipherStrength;
  DWORD dwSessionLifespan;
  DWORD dwFlags;
  DWORD dwCredFormat;
} SCHANNEL_CRED, *PSCHANNEL_CRED;

// Context requirements and the attributes returned.
#define ISC_REQ_DELEGATE 0x00000001
#define ISC_REQ_MUTUAL_AUTH 0x00000002
#define ISC_REQ_REPLAY_DETECT 0x00000004
#define ISC_REQ_SEQUENCE_DETECT 0x00000008
#define ISC_REQ_CONFIDENTIALITY 0x00000010
#define ISC_REQ_ALLOCATE_MEMORY 0x00000100
#define ISC_REQ_EXTENDED_ERROR 0x00004000
#define ISC_REQ_STREAM 0x00008000
#define ISC_REQ_INTEGRITY 0x00010000
#define ISC_RET_REPLAY_DETECT 0x00000004
#define ISC_RET_SEQUENCE_DETECT 0x00000008
#define ISC_RET_CONFIDENTIALITY 0x00000010
#define ISC_RET_ALLOCATED_MEMORY 0x00000100
#define ISC_RET_EXTENDED_ERROR 0x00004000
#define ISC_RET_STREAM 0x00008000

// Context attributes.
#define SECPKG_ATTR_STREAM_SIZES 4
#define SECPKG_ATTR_ENDPOINT_BINDINGS 26
#define SECPKG_ATTR_REMOTE_CERT_CONTEXT 0x53
#define SECPKG_ATTR_CONNECTION_INFO 0x5a

typedef struct _SecPkgContext_StreamSizes {
  ULONG cbHeader;
  ULONG cbTrailer;
  ULONG cbMaximumMessage;
  ULONG cBuffers;
  ULONG cbBlockSize;
} SecPkgContext_StreamSizes, *PSecPkgContext_StreamSizes;

// Bindings is one allocation (FreeContextBuffer) of BindingsLength bytes.
typedef struct _SecPkgContext_Bindings {
  ULONG BindingsLength;
  SEC_CHANNEL_BINDINGS* Bindings;
} SecPkgContext_Bindings, *PSecPkgContext_Bindings;

typedef struct _SecPkgContext_ConnectionInfo {
  DWORD dwProtocol;
  ALG_ID aiCipher;
  DWORD dwCipherStrength;
  ALG_ID aiHash;
  DWORD dwHashStrength;
  ALG_ID aiExch;
  DWORD dwExchStrength;
} SecPkgContext_ConnectionInfo, *PSecPkgContext_ConnectionInfo;

// Control tokens for ApplyControlToken.
#define SCHANNEL_SHUTDOWN 1
#define SCHANNEL_ALERT 2

#define TLS1_ALERT_WARNING 1
#define TLS1_ALERT_FATAL 2
#define TLS1_ALERT_NO_RENEGOTIATION 100

typedef struct _SCHANNEL_ALERT_TOKEN {
  DWORD dwTokenType;
  DWORD dwAlertType;
  DWORD dwAlertNumber;
} SCHANNEL_ALERT_TOKEN;

// Statuses.
#define SEC_E_OK static_cast<SECURITY_STATUS>(0x00000000L)
#define SEC_E_INSUFFICIENT_MEMORY static_cast<SECURITY_STATUS>(0x80090300L)
#define SEC_E_INVALID_HANDLE static_cast<SECURITY_STATUS>(0x80090301L)
#define SEC_E_UNSUPPORTED_FUNCTION static_cast<SECURITY_STATUS>(0x80090302L)
#define SEC_E_TARGET_UNKNOWN static_cast<SECURITY_STATUS>(0x80090303L)
#define SEC_E_INTERNAL_ERROR static_cast<SECURITY_STATUS>(0x80090304L)
#define SEC_E_SECPKG_NOT_FOUND static_cast<SECURITY_STATUS>(0x80090305L)
#define SEC_E_INVALID_TOKEN static_cast<SECURITY_STATUS>(0x80090308L)
#define SEC_E_LOGON_DENIED static_cast<SECURITY_STATUS>(0x8009030CL)
#define SEC_E_UNKNOWN_CREDENTIALS static_cast<SECURITY_STATUS>(0x8009030DL)
#define SEC_E_NO_CREDENTIALS static_cast<SECURITY_STATUS>(0x8009030EL)
#define SEC_E_NO_AUTHENTICATING_AUTHORITY static_cast<SECURITY_STATUS>(0x80090311L)
#define SEC_I_CONTINUE_NEEDED static_cast<SECURITY_STATUS>(0x00090312L)
#define SEC_E_CONTEXT_EXPIRED static_cast<SECURITY_STATUS>(0x80090317L)
#define SEC_I_CONTEXT_EXPIRED static_cast<SECURITY_STATUS>(0x00090317L)
#define SEC_E_INCOMPLETE_MESSAGE static_cast<SECURITY_STATUS>(0x80090318L)
#define SEC_I_INCOMPLETE_CREDENTIALS static_cast<SECURITY_STATUS>(0x00090320L)
#define SEC_E_BUFFER_TOO_SMALL static_cast<SECURITY_STATUS>(0x80090321L)
#define SEC_I_RENEGOTIATE static_cast<SECURITY_STATUS>(0x00090321L)
#define SEC_E_ILLEGAL_MESSAGE static_cast<SECURITY_STATUS>(0x80090326L)
#define SEC_E_DECRYPT_FAILURE static_cast<SECURITY_STATUS>(0x80090330L)
#define SEC_E_ALGORITHM_MISMATCH static_cast<SECURITY_STATUS>(0x80090331L)
#define SEC_E_INVALID_PARAMETER static_cast<SECURITY_STATUS>(0x8009035DL)

typedef void (*SEC_GET_KEY_FN)(void* arg, void* principal, ULONG keyVer, void** key,
                               SECURITY_STATUS* status);

// Only outbound (client) credentials: for TLS from an SCHANNEL_CRED or none
// (all defaults); for Negotiate from a SEC_WINNT_AUTH_IDENTITY_A or none.
// Another package name gives SEC_E_SECPKG_NOT_FOUND; protocol
// bits or algorithm restrictions that leave nothing to negotiate give
// SEC_E_ALGORITHM_MISMATCH. Protocol bits 0 enable TLS 1.2 and 1.3; the SSL
// and PCT bits are not offered.
SECURITY_STATUS AcquireCredentialsHandleA(LPSTR pszPrincipal, LPSTR pszPackage,
                                          ULONG fCredentialUse, void* pvLogonId, void* pAuthData,
                                          SEC_GET_KEY_FN pGetKeyFn, void* pvGetKeyArgument,
                                          PCredHandle phCredential, PTimeStamp ptsExpiry);
SECURITY_STATUS FreeCredentialsHandle(PCredHandle phCredential);
SECURITY_STATUS InitializeSecurityContextA(PCredHandle phCredential, PCtxtHandle phContext,
                                           SEC_CHAR* pszTargetName, ULONG fContextReq,
                                           ULONG Reserved1, ULONG TargetDataRep,
                                           PSecBufferDesc pInput, ULONG Reserved2,
                                           PCtxtHandle phNewContext, PSecBufferDesc pOutput,
                                           ULONG* pfContextAttr, PTimeStamp ptsExpiry);
SECURITY_STATUS DeleteSecurityContext(PCtxtHandle phContext);
SECURITY_STATUS FreeContextBuffer(void* pvContextBuffer);
// SECPKG_ATTR_REMOTE_CERT_CONTEXT stores a PCCERT_CONTEXT the caller frees
// with CertFreeCertificateContext.
SECURITY_STATUS QueryContextAttributesA(PCtxtHandle phContext, ULONG ulAttribute, void* pBuffer);
// Buffers: STREAM_HEADER, DATA (at most cbMaximumMessage bytes) and
// STREAM_TRAILER with the room the stream sizes give; the record comes
// back in place with the sizes used.
SECURITY_STATUS EncryptMessage(PCtxtHandle phContext, ULONG fQOP, PSecBufferDesc pMessage,
                               ULONG MessageSeqNo);
// Four buffers: the received bytes as DATA, three EMPTY.
SECURITY_STATUS DecryptMessage(PCtxtHandle phContext, PSecBufferDesc pMessage, ULONG MessageSeqNo,
                               ULONG* pfQOP);
SECURITY_STATUS ApplyControlToken(PCtxtHandle phContext, PSecBufferDesc pInput);

typedef SECURITY_STATUS (*ACQUIRE_CREDENTIALS_HANDLE_FN_A)(LPSTR, LPSTR, ULONG, void*, void*,
                                                           SEC_GET_KEY_FN, void*, PCredHandle,
                                                           PTimeStamp);
typedef SECURITY_STATUS (*FREE_CREDENTIALS_HANDLE_FN)(PCredHandle);
typedef SECURITY_STATUS (*INITIALIZE_SECURITY_CONTEXT_FN_A)(PCredHandle, PCtxtHandle, SEC_CHAR*,
                                                            ULONG, ULONG, ULONG, PSecBufferDesc,
                                                            ULONG, PCtxtHandle, PSecBufferDesc,
                                                            ULONG*, PTimeStamp);
typedef SECURITY_STATUS (*DELETE_SECURITY_CONTEXT_FN)(PCtxtHandle);
typedef SECURITY_STATUS (*APPLY_CONTROL_TOKEN_FN)(PCtxtHandle, PSecBufferDesc);
typedef SECURITY_STATUS (*QUERY_CONTEXT_ATTRIBUTES_FN_A)(PCtxtHandle, ULONG, void*);
typedef SECURITY_STATUS (*FREE_CONTEXT_BUFFER_FN)(void*);
typedef SECURITY_STATUS (*ENCRYPT_MESSAGE_FN)(PCtxtHandle, ULONG, PSecBufferDesc, ULONG);
typedef SECURITY_STATUS (*DECRYPT_MESSAGE_FN)(PCtxtHandle, PSecBufferDesc, ULONG, ULONG*);

#define SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION_4 4

// The function table, in Windows' order (version 4). Entries this package
// does not offer are null.
typedef struct _SECURITY_FUNCTION_TABLE_A {
  ULONG dwVersion;
  void* EnumerateSecurityPackagesA;
  void* QueryCredentialsAttributesA;
  ACQUIRE_CREDENTIALS_HANDLE_FN_A AcquireCredentialsHandleA;
  FREE_CREDENTIALS_HANDLE_FN FreeCredentialsHandle;
  void* Reserved2;
  INITIALIZE_SECURITY_CONTEXT_FN_A InitializeSecurityContextA;
  void* AcceptSecurityContext;
  void* CompleteAuthToken;
  DELETE_SECURITY_CONTEXT_FN DeleteSecurityContext;
  APPLY_CONTROL_TOKEN_FN ApplyControlToken;
  QUERY_CONTEXT_ATTRIBUTES_FN_A QueryContextAttributesA;
  void* ImpersonateSecurityContext;
  void* RevertSecurityContext;
  void* MakeSignature;
  void* VerifySignature;
  FREE_CONTEXT_BUFFER_FN FreeContextBuffer;
  void* QuerySecurityPackageInfoA;
  void* Reserved3;
  void* Reserved4;
  void* ExportSecurityContext;
  void* ImportSecurityContextA;
  void* AddCredentialsA;
  void* Reserved8;
  void* QuerySecurityContextToken;
  ENCRYPT_MESSAGE_FN EncryptMessage;
  DECRYPT_MESSAGE_FN DecryptMessage;
  void* SetContextAttributesA;
  void* SetCredentialsAttributesA;
  void* ChangeAccountPasswordA;
} SecurityFunctionTableA, *PSecurityFunctionTableA;

PSecurityFunctionTableA InitSecurityInterfaceA();
