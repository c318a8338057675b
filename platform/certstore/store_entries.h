#pragma once

// Adding certificates to the personal store and taking them out: what the command-line tool
// does for people whose certificate came as a password-protected PKCS#12 file, which the store
// cannot read by itself.
//
// An imported certificate becomes one entry "<serial>.pem" of the store folder: the
// certificate, its unencrypted private key and its chain, readable by the user only (0600).
// The entry appears whole or not at all (it is written under a hidden temporary name and then
// linked in place) and never replaces a file that is there; the store folder is made, 0700,
// when missing.
//
// Any thread; failures throw Exception with a Portuguese message (store_messages.h).

#include <ctime>
#include <filesystem>
#include <string_view>
#include <vector>

#include "platform/text.h"

namespace certstore {

struct TStoreEntry {
  std::filesystem::path File;
  Text SerialNumber;  // as ICertificate2::SerialNumber gives it
  Text Subject;       // simple names
  Text Issuer;
  std::time_t ValidTo = 0;
};

// Adds the certificate and key of APkcs12 (the file's bytes), opened with APassword, to the
// personal store (PersonalStoreDirectory). Any encryption OpenSSL's legacy provider has is
// accepted (pkcs12_reader.h). Refused when the password is wrong, an algorithm of the file is
// missing (named), the file holds no key or no certificate for it, or the store already has an
// entry with that serial number.
TStoreEntry ImportPkcs12(std::string_view APkcs12, std::string_view APassword);

// The files of the personal store whose certificate has ASerialNumber, compared as the store's
// lookup does (exactly, with ICertificate2::SerialNumber), in store order. Files the store
// cannot read are never among them.
std::vector<TStoreEntry> EntriesWithSerial(TextView ASerialNumber);

// Deletes every file EntriesWithSerial finds and returns them; none is not an error.
std::vector<TStoreEntry> RemoveEntries(TextView ASerialNumber);

}  // namespace certstore
