#pragma once

// Certificate handle of the certificate store (stands in for the platform's ICertificate2) and
// the private-key object it hands out (IPrivateKey).
//
// A certificate is immutable once built and is shared by the store's cache and every caller
// that obtained it, so it may be read from any thread. PrivateKey throws (component message)
// when the entry has no private key or its key does not belong to the certificate.

#include <ctime>
#include <memory>
#include <vector>

#include "platform/openssl_handles.h"
#include "platform/text.h"

class ICertificate2;
using ICertificate2Ptr = std::shared_ptr<ICertificate2>;

// Where a certificate's private key lives when the entry does not hold it: a device that
// signs by itself (a token or smart card), which asks for its PIN and serves one signature at
// a time. Implemented by the token layer (pkcs11_tokens.h).
class IKeyHolder {
 public:
  virtual ~IKeyHolder() = default;
  // The key, logging in to the device when needed; throws Exception with the reason.
  virtual EvpPkeyPtr Key() const = 0;
  // Waits for the device's turn and holds it while the result lives; throws Exception when
  // the device stays busy too long. A key failure is remembered for the turn: asking again
  // within it gives the same reason, never a second PIN prompt.
  virtual std::shared_ptr<void> Reserve() const = 0;
  // Why the device failed during the current turn (it went away, refused to sign); empty
  // when it did not.
  virtual Text Failure() const = 0;
};

// GetInfo kinds.
inline constexpr int CAPICOM_CERT_INFO_SUBJECT_SIMPLE_NAME = 0;
inline constexpr int CAPICOM_CERT_INFO_ISSUER_SIMPLE_NAME = 1;

// The private key of one certificate, with the provider data a signature object uses to make
// its own key from it. Holds its own reference to the key.
class IPrivateKey {
 public:
  IPrivateKey(EvpPkeyPtr AKey, Text AContainerName);

  Text ContainerName() const { return FContainerName; }  // the store file that holds the key
  Text ProviderName() const;                             // the crypto library
  int ProviderType() const;                              // the key's algorithm id
  EVP_PKEY* Handle() const { return FKey.get(); }        // borrowed, lives with this object

 private:
  EvpPkeyPtr FKey;
  Text FContainerName;
};

class ICertificate2 {
 public:
  // AKey may be null (certificate without key). AChain: further certificates of the entry.
  ICertificate2(X509Ptr ACertificate, EvpPkeyPtr AKey, std::vector<X509Ptr> AChain,
                Text AContainerName);
  // A certificate whose key stays on a device; AContainerName names the device's object.
  ICertificate2(X509Ptr ACertificate, std::shared_ptr<const IKeyHolder> AKeyHolder,
                Text AContainerName);

  // The serial's bytes as upper-case hexadecimal, two digits a byte ("0A1B2C").
  const Text& SerialNumber() const { return FSerialNumber; }
  // The notAfter moment, and the same as local broken-down time.
  std::time_t ValidTo() const { return FValidTo; }
  std::time_t ValidFrom() const { return FValidFrom; }  // the notBefore moment
  std::tm ValidToDate() const;
  // CAPICOM_CERT_INFO_SUBJECT_SIMPLE_NAME or CAPICOM_CERT_INFO_ISSUER_SIMPLE_NAME: the CN,
  // else the first OU, else O, else the e-mail address, else empty. Other kinds: empty.
  Text GetInfo(int AInfoType) const;
  // Throws Exception (component message) without a matching private key.
  IPrivateKey PrivateKey() const;
  bool HasPrivateKey() const { return FKey != nullptr || FKeyHolder != nullptr; }
  // Whether PrivateKey would succeed: a key that belongs to the certificate. A device's key
  // is presumed to until the device is asked (that needs its PIN).
  bool HasUsablePrivateKey() const {
    return (FKey != nullptr && FKeyMatches) || FKeyHolder != nullptr;
  }
  // Whether the key is on a device (see IKeyHolder).
  bool KeyOnDevice() const { return FKeyHolder != nullptr; }
  // The device's turn for one signature (IKeyHolder::Reserve); nothing for a key in a file.
  std::shared_ptr<void> ReserveKey() const { return FKeyHolder ? FKeyHolder->Reserve() : nullptr; }
  // Why the device failed in the current turn; empty for a key in a file.
  Text KeyFailure() const { return FKeyHolder ? FKeyHolder->Failure() : Text{}; }

  X509* Handle() const { return FCertificate.get(); }  // borrowed, lives with this object
  const std::vector<X509Ptr>& Chain() const { return FChain; }

 private:
  X509Ptr FCertificate;
  EvpPkeyPtr FKey;
  std::shared_ptr<const IKeyHolder> FKeyHolder;
  bool FKeyMatches = false;
  std::vector<X509Ptr> FChain;
  Text FContainerName;
  Text FSerialNumber;
  std::time_t FValidTo = 0;
  std::time_t FValidFrom = 0;
  Text FSubjectName;
  Text FIssuerName;
};
