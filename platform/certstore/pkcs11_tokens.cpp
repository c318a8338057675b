// A token's key reaches OpenSSL as an RSA key whose private operation is the token's: the
// RSA_METHOD interface is the one way to give OpenSSL 3 a key it cannot hold without writing a
// provider, and it is deprecated, not gone.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "platform/certstore/pkcs11_tokens.h"

#include <openssl/err.h>
#include <openssl/rsa.h>
#include <p11-kit/p11-kit.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>

#include "platform/certstore/pin_source.h"
#include "platform/certstore/store_messages.h"
#include "platform/certstore/token_messages.h"
#include "platform/component_error.h"
#include "platform/diagnostics.h"
#include "platform/exception.h"

namespace certstore {

// One token as inserted in one slot. Pulled out, it is marked removed and dropped from the
// listing; calls that still hold it fail with that reason.
struct TToken {
  CK_FUNCTION_LIST* Module = nullptr;
  CK_SLOT_ID Slot = 0;
  Text Label;
  std::string Id;  // module, slot and the token's own identity
  std::chrono::milliseconds TurnWait{0};
  std::vector<ICertificate2Ptr> Certificates;  // read once, before the token is shared

  std::timed_mutex Turn;  // one signature at a time
  std::atomic<bool> Removed{false};

  std::mutex State;  // guards what follows
  CK_SESSION_HANDLE Session = CK_INVALID_HANDLE;
  std::map<std::string, EvpPkeyPtr> Keys;  // by object id, while logged in
  bool InTurn = false;
  Text Failure;  // what went wrong in the current turn

  ~TToken() {
    // Closing the last session logs the token out.
    if (Session != CK_INVALID_HANDLE) Module->C_CloseSession(Session);
  }
};

namespace {

using namespace token_messages;

Text Named(const TToken& AToken, TextView AWhat) {
  return Text{kTokenPrefix} + AToken.Label + Text{AWhat};
}

bool MeansRemoved(CK_RV ARv) {
  return ARv == CKR_DEVICE_REMOVED || ARv == CKR_TOKEN_NOT_PRESENT ||
         ARv == CKR_SESSION_HANDLE_INVALID || ARv == CKR_SESSION_CLOSED ||
         ARv == CKR_SLOT_ID_INVALID || ARv == CKR_TOKEN_NOT_RECOGNIZED;
}

Text DeviceError(const TToken& AToken, CK_RV ARv) {
  char code[32];
  std::snprintf(code, sizeof code, "CKR 0x%08lX", static_cast<unsigned long>(ARv));
  return Named(AToken, kDeviceError) + text::FromUtf8(p11_kit_strerror(ARv)) + u", " +
         text::FromAscii(code) + u")";
}

std::string SpacePadded(const unsigned char* AText, std::size_t ALength) {
  return std::string(reinterpret_cast<const char*>(AText), p11_kit_space_strlen(AText, ALength));
}

// The state of the session; false when the token no longer knows it.
bool SessionLoggedIn(TToken& AToken, bool& ALoggedIn) {
  CK_SESSION_INFO info{};
  const CK_RV rv = AToken.Module->C_GetSessionInfo(AToken.Session, &info);
  if (rv != CKR_OK) return false;
  ALoggedIn = info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS;
  return true;
}

void Forget(TToken& AToken) {
  AToken.Keys.clear();
  if (AToken.Session != CK_INVALID_HANDLE) AToken.Module->C_CloseSession(AToken.Session);
  AToken.Session = CK_INVALID_HANDLE;
}

[[noreturn]] void FailRemoved(TToken& AToken, TextView AWhat = kRemoved) {
  AToken.Removed = true;
  Forget(AToken);
  throw Exception(Named(AToken, AWhat));
}

// Opens the token's session and logs in when it is not. AToken.State is held.
void LogIn(TToken& AToken, const Text& AHolder) {
  bool loggedIn = false;
  if (AToken.Session != CK_INVALID_HANDLE && !SessionLoggedIn(AToken, loggedIn)) Forget(AToken);
  if (AToken.Session == CK_INVALID_HANDLE) {
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    const CK_RV rv =
        AToken.Module->C_OpenSession(AToken.Slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
    if (MeansRemoved(rv)) FailRemoved(AToken);
    if (rv != CKR_OK) throw Exception(DeviceError(AToken, rv));
    AToken.Session = session;
    if (!SessionLoggedIn(AToken, loggedIn)) FailRemoved(AToken);
  }
  if (loggedIn) return;
  AToken.Keys.clear();

  CK_TOKEN_INFO info{};
  CK_RV rv = AToken.Module->C_GetTokenInfo(AToken.Slot, &info);
  if (MeansRemoved(rv)) FailRemoved(AToken);
  if (rv != CKR_OK) throw Exception(DeviceError(AToken, rv));
  if ((info.flags & CKF_LOGIN_REQUIRED) == 0) return;
  if (info.flags & CKF_USER_PIN_LOCKED) throw Exception(Named(AToken, kPinLocked));

  TPinRequest request{AToken.Label, AHolder, AToken.Id, (info.flags & CKF_USER_PIN_COUNT_LOW) != 0,
                      (info.flags & CKF_USER_PIN_FINAL_TRY) != 0};
  std::shared_ptr<IPinSource> source;
  if (info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) {
    // The PIN is typed on the device itself.
    rv = AToken.Module->C_Login(AToken.Session, CKU_USER, nullptr, 0);
  } else {
    source = PinSource();
    if (!source) throw Exception(Named(AToken, kPinNotGiven) + Text{kPinNoSource} + u")");
    Text whyNot;
    std::optional<TPin> pin = source->Pin(request, whyNot);
    if (!pin) throw Exception(Named(AToken, kPinNotGiven) + whyNot + u")");
    rv = AToken.Module->C_Login(
        AToken.Session, CKU_USER,
        reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin->Bytes().data())),
        static_cast<CK_ULONG>(pin->Bytes().size()));
  }
  if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) return;
  if (MeansRemoved(rv)) FailRemoved(AToken);
  if (rv == CKR_PIN_LOCKED) throw Exception(Named(AToken, kPinLocked));
  if (rv == CKR_PIN_INCORRECT || rv == CKR_PIN_INVALID || rv == CKR_PIN_LEN_RANGE) {
    if (source) source->Rejected(request);
    Text message = Named(AToken, kPinIncorrect);
    if (AToken.Module->C_GetTokenInfo(AToken.Slot, &info) == CKR_OK) {
      if (info.flags & CKF_USER_PIN_LOCKED) throw Exception(Named(AToken, kPinLocked));
      if (info.flags & CKF_USER_PIN_FINAL_TRY) {
        message += kPinFinalTry;
      } else if (info.flags & CKF_USER_PIN_COUNT_LOW) {
        message += kPinCountLow;
      }
    }
    throw Exception(message);
  }
  throw Exception(DeviceError(AToken, rv));
}

// What a token key's RSA object carries: the token (it may be pulled out meanwhile) and the
// key's object.
struct TKeyRef {
  std::weak_ptr<TToken> Token;
  CK_OBJECT_HANDLE Object = CK_INVALID_HANDLE;
};

void FreeKeyRef(void*, void* APointer, CRYPTO_EX_DATA*, int, long, void*) {
  delete static_cast<TKeyRef*>(APointer);
}

int KeyRefIndex() {
  static const int index = RSA_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeKeyRef);
  return index;
}

// The token signs the DigestInfo OpenSSL hands over with PKCS#1 v1.5 padding.
int TokenPrivateEncrypt(int ALength, const unsigned char* AFrom, unsigned char* ATo, RSA* ARsa,
                        int APadding) {
  const auto* ref = static_cast<const TKeyRef*>(RSA_get_ex_data(ARsa, KeyRefIndex()));
  if (!ref || APadding != RSA_PKCS1_PADDING || ALength < 0) return -1;
  const std::shared_ptr<TToken> token = ref->Token.lock();
  if (!token) return -1;
  std::lock_guard lock(token->State);
  const auto fail = [&](Text AWhy) {
    if (token->InTurn && token->Failure.empty()) token->Failure = std::move(AWhy);
    return -1;
  };
  if (token->Removed || token->Session == CK_INVALID_HANDLE)
    return fail(Named(*token, kRemovedDuringCall));
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  CK_RV rv = token->Module->C_SignInit(token->Session, &mechanism, ref->Object);
  CK_ULONG length = static_cast<CK_ULONG>(RSA_size(ARsa));
  if (rv == CKR_OK) {
    rv = token->Module->C_Sign(token->Session, const_cast<CK_BYTE_PTR>(AFrom),
                               static_cast<CK_ULONG>(ALength), ATo, &length);
  }
  if (rv == CKR_OK) return static_cast<int>(length);
  if (MeansRemoved(rv)) {
    token->Removed = true;
    Forget(*token);
    return fail(Named(*token, kRemovedDuringCall));
  }
  return fail(DeviceError(*token, rv));
}

int RefusePrivateDecrypt(int, const unsigned char*, unsigned char*, RSA*, int) { return -1; }

const RSA_METHOD* TokenRsaMethod() {
  static RSA_METHOD* const method = [] {
    RSA_METHOD* made = RSA_meth_dup(RSA_PKCS1_OpenSSL());
    if (made) {
      RSA_meth_set1_name(made, "assinador-nfse token");
      RSA_meth_set_priv_enc(made, TokenPrivateEncrypt);
      RSA_meth_set_priv_dec(made, RefusePrivateDecrypt);
    }
    return made;
  }();
  return method;
}

// The signer's key for the token's object: the certificate's public half, the token's private
// operation.
EvpPkeyPtr TokenKey(const std::shared_ptr<TToken>& AToken, CK_OBJECT_HANDLE AObject,
                    EVP_PKEY* APublic) {
  const RSA* publicRsa = APublic ? EVP_PKEY_get0_RSA(APublic) : nullptr;
  const RSA_METHOD* method = TokenRsaMethod();
  if (!publicRsa || !method) throw Exception(Named(*AToken, kNotRsa));
  const BIGNUM* n = nullptr;
  const BIGNUM* e = nullptr;
  RSA_get0_key(publicRsa, &n, &e, nullptr);
  std::unique_ptr<RSA, CFree<RSA_free>> rsa{RSA_new()};
  if (!rsa || RSA_set_method(rsa.get(), method) != 1) openssl::ThrowError("RSA_set_method");
  BIGNUM* nCopy = BN_dup(n);
  BIGNUM* eCopy = BN_dup(e);
  if (!nCopy || !eCopy || RSA_set0_key(rsa.get(), nCopy, eCopy, nullptr) != 1) {
    BN_free(nCopy);
    BN_free(eCopy);
    openssl::ThrowError("RSA_set0_key");
  }
  auto ref = std::make_unique<TKeyRef>(TKeyRef{AToken, AObject});
  if (RSA_set_ex_data(rsa.get(), KeyRefIndex(), ref.get()) != 1)
    openssl::ThrowError("RSA_set_ex_data");
  ref.release();  // freed with the RSA object
  EvpPkeyPtr key{EVP_PKEY_new()};
  if (!key || EVP_PKEY_assign_RSA(key.get(), rsa.get()) != 1)
    openssl::ThrowError("EVP_PKEY_assign_RSA");
  rsa.release();  // the EVP_PKEY owns it from here on
  return key;
}

// The token's private key object with AId. AToken.State is held and the session logged in.
CK_OBJECT_HANDLE FindPrivateKey(TToken& AToken, const std::string& AId) {
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  CK_ATTRIBUTE query[] = {
      {CKA_CLASS, &keyClass, sizeof keyClass},
      {CKA_ID, const_cast<char*>(AId.data()), static_cast<CK_ULONG>(AId.size())}};
  CK_RV rv = AToken.Module->C_FindObjectsInit(AToken.Session, query, 2);
  if (MeansRemoved(rv)) FailRemoved(AToken);
  if (rv != CKR_OK) throw Exception(DeviceError(AToken, rv));
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  CK_ULONG found = 0;
  rv = AToken.Module->C_FindObjects(AToken.Session, &object, 1, &found);
  AToken.Module->C_FindObjectsFinal(AToken.Session);
  if (MeansRemoved(rv)) FailRemoved(AToken);
  if (rv != CKR_OK) throw Exception(DeviceError(AToken, rv));
  if (found == 0) return CK_INVALID_HANDLE;
  CK_KEY_TYPE type = 0;
  CK_ATTRIBUTE typeQuery{CKA_KEY_TYPE, &type, sizeof type};
  if (AToken.Module->C_GetAttributeValue(AToken.Session, object, &typeQuery, 1) == CKR_OK &&
      type != CKK_RSA)
    throw Exception(Named(AToken, kNotRsa));
  return object;
}

class TTokenKeyHolder : public IKeyHolder {
 public:
  TTokenKeyHolder(std::weak_ptr<TToken> AToken, Text ALabel, std::string AObjectId)
      : FToken(std::move(AToken)), FLabel(std::move(ALabel)), FObjectId(std::move(AObjectId)) {}

  // What the PIN request names and what the key's public half is: known once the certificate
  // is made, set before the holder is shared.
  void SetCertificate(const ICertificate2& ACertificate) {
    FPublic.reset(X509_get_pubkey(ACertificate.Handle()));
    ERR_clear_error();
    FHolder = ACertificate.GetInfo(CAPICOM_CERT_INFO_SUBJECT_SIMPLE_NAME);
  }

  EvpPkeyPtr Key() const override {
    const std::shared_ptr<TToken> token = Live();
    std::lock_guard lock(token->State);
    if (token->InTurn && !token->Failure.empty()) throw Exception(token->Failure);
    ERR_set_mark();
    struct TErrorMark {
      ~TErrorMark() { ERR_pop_to_mark(); }
    } mark;
    try {
      if (token->Removed) FailRemoved(*token);
      LogIn(*token, FHolder);
      if (const auto known = token->Keys.find(FObjectId); known != token->Keys.end())
        return openssl::UpRef(known->second.get());
      const CK_OBJECT_HANDLE object = FindPrivateKey(*token, FObjectId);
      if (object == CK_INVALID_HANDLE) component::Fail(store_messages::kNoPrivateKey);
      EvpPkeyPtr key = TokenKey(token, object, FPublic.get());
      EvpPkeyPtr kept = openssl::UpRef(key.get());
      token->Keys[FObjectId] = std::move(kept);
      return key;
    } catch (const std::exception& e) {
      if (token->InTurn) token->Failure = MessageOf(e);
      throw;
    }
  }

  std::shared_ptr<void> Reserve() const override {
    std::shared_ptr<TToken> token = Live();
    std::unique_lock turn(token->Turn, std::defer_lock);
    if (!turn.try_lock_for(token->TurnWait)) {
      const auto seconds = std::chrono::ceil<std::chrono::seconds>(token->TurnWait);
      throw Exception(Named(*token, kBusy) + text::FromAscii(std::to_string(seconds.count())) +
                      Text{kBusyEnd});
    }
    {
      std::lock_guard lock(token->State);
      token->InTurn = true;
      token->Failure.clear();
    }
    struct TTurn {
      std::shared_ptr<TToken> Token;
      std::unique_lock<std::timed_mutex> Lock;
      ~TTurn() {
        if (!Token) return;
        std::lock_guard lock(Token->State);
        Token->InTurn = false;
        Token->Failure.clear();
      }
    };
    auto held = std::make_shared<TTurn>();
    held->Token = std::move(token);
    held->Lock = std::move(turn);
    return held;
  }

  Text Failure() const override {
    const std::shared_ptr<TToken> token = FToken.lock();
    if (!token) return {};
    std::lock_guard lock(token->State);
    return token->Failure;
  }

 private:
  std::shared_ptr<TToken> Live() const {
    std::shared_ptr<TToken> token = FToken.lock();
    if (!token) throw Exception(Text{kTokenPrefix} + FLabel + Text{kRemoved});
    return token;
  }

  std::weak_ptr<TToken> FToken;
  Text FLabel;
  std::string FObjectId;
  EvpPkeyPtr FPublic;
  Text FHolder;
};

// "pkcs11:token=<label>;id=%01%02": how the key's object is named where a file's name stands.
Text ObjectName(const TToken& AToken, const std::string& AId) {
  std::string name = "pkcs11:token=" + text::ToUtf8(AToken.Label) + ";id=";
  char hex[4];
  for (const unsigned char c : AId) {
    std::snprintf(hex, sizeof hex, "%%%02X", c);
    name += hex;
  }
  return text::FromUtf8(name);
}

// Reads AObject's attribute; false when the token does not give it.
bool Attribute(TToken& AToken, CK_SESSION_HANDLE ASession, CK_OBJECT_HANDLE AObject,
               CK_ATTRIBUTE_TYPE AType, std::string& AValue) {
  CK_ATTRIBUTE query{AType, nullptr, 0};
  if (AToken.Module->C_GetAttributeValue(ASession, AObject, &query, 1) != CKR_OK ||
      query.ulValueLen == CK_UNAVAILABLE_INFORMATION || query.ulValueLen > (1u << 20))
    return false;
  AValue.assign(query.ulValueLen, '\0');
  query.pValue = AValue.data();
  if (AToken.Module->C_GetAttributeValue(ASession, AObject, &query, 1) != CKR_OK) return false;
  AValue.resize(query.ulValueLen);
  return true;
}

// The token's X.509 certificates; false when the token could not be read (it is tried again
// at the next listing).
bool ReadCertificates(const std::shared_ptr<TToken>& AToken) {
  TToken& token = *AToken;
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  if (token.Module->C_OpenSession(token.Slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) !=
      CKR_OK)
    return false;
  struct TSessionCloser {
    TToken& Token;
    CK_SESSION_HANDLE Session;
    ~TSessionCloser() { Token.Module->C_CloseSession(Session); }
  } closer{token, session};

  CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
  CK_CERTIFICATE_TYPE certificateType = CKC_X_509;
  CK_ATTRIBUTE query[] = {{CKA_CLASS, &certificateClass, sizeof certificateClass},
                          {CKA_CERTIFICATE_TYPE, &certificateType, sizeof certificateType}};
  if (token.Module->C_FindObjectsInit(session, query, 2) != CKR_OK) return false;
  // A token holds a handful of certificates; a module that keeps answering is cut short.
  constexpr CK_ULONG kMaxObjects = 256;
  std::vector<CK_OBJECT_HANDLE> objects;
  CK_OBJECT_HANDLE batch[16];
  CK_ULONG found = 0;
  bool ok = true;
  do {
    if (token.Module->C_FindObjects(session, batch, 16, &found) != CKR_OK) {
      ok = false;
      break;
    }
    objects.insert(objects.end(), batch, batch + found);
  } while (found > 0 && objects.size() < kMaxObjects);
  token.Module->C_FindObjectsFinal(session);
  if (!ok) return false;

  for (const CK_OBJECT_HANDLE object : objects) {
    std::string der;
    std::string id;
    if (!Attribute(token, session, object, CKA_VALUE, der)) continue;
    Attribute(token, session, object, CKA_ID, id);
    const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
    X509Ptr certificate{d2i_X509(nullptr, &cursor, static_cast<long>(der.size()))};
    if (!certificate) {
      ERR_clear_error();
      continue;
    }
    auto holder = std::make_shared<TTokenKeyHolder>(AToken, token.Label, id);
    auto entry =
        std::make_shared<ICertificate2>(std::move(certificate), holder, ObjectName(token, id));
    holder->SetCertificate(*entry);
    token.Certificates.push_back(std::move(entry));
  }
  return true;
}

}  // namespace

TTokenStore::TTokenStore(std::vector<CK_FUNCTION_LIST*> AModules,
                         std::chrono::milliseconds ATurnWait)
    : FModules(std::move(AModules)), FTurnWait(ATurnWait) {}

TTokenStore::~TTokenStore() {
  for (auto& [where, token] : FTokens) token->Removed = true;
}

std::vector<ICertificate2Ptr> TTokenStore::Certificates() {
  std::vector<ICertificate2Ptr> result;
  std::lock_guard lock(FLock);
  std::map<std::pair<std::size_t, CK_SLOT_ID>, std::shared_ptr<TToken>> present;
  // Two drivers may reach one token (a vendor's and OpenSC): it is listed once, as the first
  // module shows it.
  std::set<std::string> identities;
  for (std::size_t index = 0; index < FModules.size(); ++index) {
    CK_FUNCTION_LIST* module = FModules[index];
    std::vector<CK_SLOT_ID> slots;
    CK_RV rv = CKR_BUFFER_TOO_SMALL;
    // The count may grow between the two calls when a reader is plugged in.
    for (int attempt = 0; attempt < 3 && rv == CKR_BUFFER_TOO_SMALL; ++attempt) {
      CK_ULONG count = 0;
      rv = module->C_GetSlotList(CK_TRUE, nullptr, &count);
      if (rv != CKR_OK) break;
      slots.resize(count);
      rv = module->C_GetSlotList(CK_TRUE, slots.data(), &count);
      if (rv == CKR_OK) slots.resize(count);
    }
    if (rv != CKR_OK) continue;
    for (const CK_SLOT_ID slot : slots) {
      CK_TOKEN_INFO info{};
      if (module->C_GetTokenInfo(slot, &info) != CKR_OK) continue;
      if ((info.flags & CKF_TOKEN_INITIALIZED) == 0) continue;
      const std::string label = SpacePadded(info.label, sizeof info.label);
      const std::string identity = SpacePadded(info.manufacturerID, sizeof info.manufacturerID) +
                                   '/' + SpacePadded(info.model, sizeof info.model) + '/' +
                                   SpacePadded(info.serialNumber, sizeof info.serialNumber) + '/' +
                                   label;
      if (!identities.insert(identity).second) continue;
      std::ostringstream id;
      id << index << '/' << slot << '/' << identity;
      const auto where = std::make_pair(index, slot);
      std::shared_ptr<TToken> token;
      if (const auto known = FTokens.find(where);
          known != FTokens.end() && known->second->Id == id.str() && !known->second->Removed) {
        token = known->second;
      } else {
        token = std::make_shared<TToken>();
        token->Module = module;
        token->Slot = slot;
        token->Label = text::FromUtf8(label);
        token->Id = id.str();
        token->TurnWait = FTurnWait;
        if (!ReadCertificates(token)) continue;
      }
      result.insert(result.end(), token->Certificates.begin(), token->Certificates.end());
      present.emplace(where, std::move(token));
    }
  }
  for (auto& [where, token] : FTokens) {
    const auto still = present.find(where);
    if (still == present.end() || still->second != token) token->Removed = true;
  }
  FTokens = std::move(present);
  return result;
}

namespace {

// The configured modules, initialised; each file once.
std::vector<CK_FUNCTION_LIST*> LoadModules() {
  std::vector<CK_FUNCTION_LIST*> modules;
  std::set<std::string> files;
  const auto report = [](const std::string& AWhat) {
    diagnostics::Report(kDiagnosticsSource, Text{kModuleNotLoaded} + text::FromUtf8(AWhat),
                        diagnostics::TReportKind::Notice);
  };
  const auto add = [&](CK_FUNCTION_LIST* AModule, const std::string& AOrigin) {
    std::string file = AOrigin;
    if (char* name = p11_kit_module_get_filename(AModule)) {
      file = name;
      std::free(name);
    }
    std::error_code ec;
    const std::filesystem::path canonical = std::filesystem::canonical(file, ec);
    if (!ec) file = canonical.string();
    if (!files.insert(file).second) return;
    const CK_RV rv = p11_kit_module_initialize(AModule);
    if (rv != CKR_OK) {
      report(file + ": " + p11_kit_strerror(rv));
      return;
    }
    modules.push_back(AModule);
  };

  // Paths the user named come first: a token both reach is listed through them.
  if (const char* paths = std::getenv("ASSINADOR_NFSE_PKCS11"); paths && *paths) {
    std::string_view rest{paths};
    while (!rest.empty()) {
      const std::size_t colon = rest.find(':');
      const std::string path{rest.substr(0, colon)};
      rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
      if (path.empty()) continue;
      CK_FUNCTION_LIST* module = p11_kit_module_load(path.c_str(), 0);
      if (!module) {
        const char* why = p11_kit_message();
        report(path + (why ? std::string{": "} + why : std::string{}));
        continue;
      }
      add(module, path);
    }
  }
  // Kept loaded for the life of the process, as the modules are.
  static CK_FUNCTION_LIST** const registered = p11_kit_modules_load(nullptr, 0);
  for (CK_FUNCTION_LIST** at = registered; at && *at; ++at) {
    // The system's trusted authorities are no one's personal certificates.
    char* trust = p11_kit_config_option(*at, "trust-policy");
    const bool trustPolicy = trust && std::string_view{trust} == "yes";
    std::free(trust);
    if (!trustPolicy) add(*at, "p11-kit");
  }
  return modules;
}

}  // namespace

std::vector<ICertificate2Ptr> TokenCertificates() {
  // Made on the first listing and kept for the life of the process, like the modules it uses.
  static TTokenStore* const store = []() -> TTokenStore* {
    ERR_set_mark();
    std::vector<CK_FUNCTION_LIST*> modules = LoadModules();
    ERR_pop_to_mark();
    return modules.empty() ? nullptr : new TTokenStore(std::move(modules));
  }();
  if (!store) return {};
  // Drivers use OpenSSL themselves (OpenSC looks for engines): what they leave in this
  // thread's error queue is not the caller's.
  ERR_set_mark();
  std::vector<ICertificate2Ptr> certificates = store->Certificates();
  ERR_pop_to_mark();
  return certificates;
}

}  // namespace certstore
