// A PKCS#11 module for tests: it forwards to SoftHSM2 and, steered by files in the folder
// $FAULT_PKCS11_DIR, plays what real tokens do to a server:
//   retirado            the token is pulled out: no slot has a token, its sessions are gone
//   retirar-ao-assinar  the token is pulled out while it signs (the file "retirado" appears)
//   teclado             the token has its own PIN pad: it takes the PIN in the file's first line
//                       from the "keypad" when C_Login is given none
//   pin-final           the token says one more wrong PIN locks it
//   pin-bloqueado       the token says its PIN is locked, and refuses every login
// It drives its own copy of SoftHSM2 ($FAULT_PKCS11_TARGET) with the configuration
// $FAULT_PKCS11_SOFTHSM2_CONF, so that a SoftHSM2 registered with p11-kit in the same process
// never sees the test tokens. It counts, in files of the same folder, one byte per event:
//   logins-errados      C_Login refused the PIN
//   assinaturas-juntas  C_Sign was called while another C_Sign of this process ran
#include <dlfcn.h>
#include <fcntl.h>
#include <p11-kit/pkcs11.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

namespace {

CK_FUNCTION_LIST* gReal = nullptr;
CK_FUNCTION_LIST gFaulty;
std::atomic<int> gSigning{0};

std::string Control(const char* AName) {
  const char* dir = std::getenv("FAULT_PKCS11_DIR");
  return std::string(dir ? dir : "/nonexistent") + "/" + AName;
}

bool Present(const char* AName) { return ::access(Control(AName).c_str(), F_OK) == 0; }

void Touch(const char* AName) {
  const int fd = ::open(Control(AName).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(fd, "x", 1);
    ::close(fd);
  }
}

CK_RV Initialize(CK_VOID_PTR AArguments) {
  // SoftHSM2 reads its configuration's name when it starts, and only then.
  const char* wanted = std::getenv("FAULT_PKCS11_SOFTHSM2_CONF");
  const char* before = std::getenv("SOFTHSM2_CONF");
  const std::string previous = before ? before : "";
  if (wanted) ::setenv("SOFTHSM2_CONF", wanted, 1);
  const CK_RV rv = gReal->C_Initialize(AArguments);
  if (before) {
    ::setenv("SOFTHSM2_CONF", previous.c_str(), 1);
  } else {
    ::unsetenv("SOFTHSM2_CONF");
  }
  return rv;
}

CK_RV GetSlotList(CK_BBOOL APresent, CK_SLOT_ID_PTR AList, CK_ULONG_PTR ACount) {
  if (Present("retirado") && APresent) {
    *ACount = 0;
    return CKR_OK;
  }
  return gReal->C_GetSlotList(APresent, AList, ACount);
}

CK_RV GetTokenInfo(CK_SLOT_ID ASlot, CK_TOKEN_INFO_PTR AInfo) {
  if (Present("retirado")) return CKR_TOKEN_NOT_PRESENT;
  const CK_RV rv = gReal->C_GetTokenInfo(ASlot, AInfo);
  if (rv != CKR_OK) return rv;
  if (Present("teclado")) AInfo->flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
  if (Present("pin-final")) AInfo->flags |= CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_COUNT_LOW;
  if (Present("pin-bloqueado")) AInfo->flags |= CKF_USER_PIN_LOCKED;
  return rv;
}

// What the person types on the token's own keypad.
std::string KeypadPin() {
  const int fd = ::open(Control("teclado").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char buffer[64];
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  std::string pin(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
  while (!pin.empty() && (pin.back() == '\n' || pin.back() == '\r')) pin.pop_back();
  return pin;
}

CK_RV OpenSession(CK_SLOT_ID ASlot, CK_FLAGS AFlags, CK_VOID_PTR AApp, CK_NOTIFY ANotify,
                  CK_SESSION_HANDLE_PTR ASession) {
  if (Present("retirado")) return CKR_TOKEN_NOT_PRESENT;
  return gReal->C_OpenSession(ASlot, AFlags, AApp, ANotify, ASession);
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE ASession, CK_SESSION_INFO_PTR AInfo) {
  if (Present("retirado")) return CKR_DEVICE_REMOVED;
  return gReal->C_GetSessionInfo(ASession, AInfo);
}

CK_RV Login(CK_SESSION_HANDLE ASession, CK_USER_TYPE AUser, CK_UTF8CHAR_PTR APin,
            CK_ULONG ALength) {
  if (Present("retirado")) return CKR_DEVICE_REMOVED;
  if (Present("pin-bloqueado")) return CKR_PIN_LOCKED;
  std::string keypad;
  if (APin == nullptr && Present("teclado")) {
    keypad = KeypadPin();
    APin = reinterpret_cast<CK_UTF8CHAR_PTR>(keypad.data());
    ALength = keypad.size();
  }
  const CK_RV rv = gReal->C_Login(ASession, AUser, APin, ALength);
  if (rv == CKR_PIN_INCORRECT) Touch("logins-errados");
  return rv;
}

CK_RV Sign(CK_SESSION_HANDLE ASession, CK_BYTE_PTR AData, CK_ULONG ALength, CK_BYTE_PTR ASignature,
           CK_ULONG_PTR ASignatureLength) {
  if (Present("retirado")) return CKR_DEVICE_REMOVED;
  if (Present("retirar-ao-assinar")) {
    Touch("retirado");
    return CKR_DEVICE_REMOVED;
  }
  if (gSigning.fetch_add(1) != 0) Touch("assinaturas-juntas");
  ::usleep(2000);  // a real token's signature takes a while: overlaps would show
  const CK_RV rv = gReal->C_Sign(ASession, AData, ALength, ASignature, ASignatureLength);
  gSigning.fetch_sub(1);
  return rv;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(
    CK_FUNCTION_LIST_PTR_PTR AList) {
  if (!gReal) {
    const char* target = std::getenv("FAULT_PKCS11_TARGET");
    void* library =
        ::dlopen(target ? target : "/usr/lib/softhsm/libsofthsm2.so", RTLD_NOW | RTLD_LOCAL);
    if (!library) return CKR_GENERAL_ERROR;
    auto get = reinterpret_cast<CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR)>(
        ::dlsym(library, "C_GetFunctionList"));
    if (!get || get(&gReal) != CKR_OK) return CKR_GENERAL_ERROR;
    gFaulty = *gReal;
    gFaulty.C_Initialize = Initialize;
    gFaulty.C_GetSlotList = GetSlotList;
    gFaulty.C_GetTokenInfo = GetTokenInfo;
    gFaulty.C_OpenSession = OpenSession;
    gFaulty.C_GetSessionInfo = GetSessionInfo;
    gFaulty.C_Login = Login;
    gFaulty.C_Sign = Sign;
  }
  *AList = &gFaulty;
  return CKR_OK;
}
