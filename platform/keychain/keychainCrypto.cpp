#include "platform/keychain/keychainCrypto.h"

#include <sodium.h>

#include <cerrno>

#include "platform/keychain/byteCoding.h"

namespace keychain {

namespace {

constexpr std::string_view wrapTag = "FWK1";
constexpr std::string_view itemTag = "FWI1";
constexpr std::uint64_t mebibyte = 1024 * 1024;

const unsigned char* bytesOf(std::string_view text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

}  // namespace

// 64 MiB and 3 passes: RFC 9106's recommendation for memory-constrained settings (with one
// lane), above OWASP's minimum. The password is asked for on every protected read, in a process
// started per request, and several requests can run at once: 64 MiB keeps a burst of them
// affordable, and one unlock stays around a tenth of a second.
KdfParams newKdfParams() {
  return {kdfArgon2id13, 3, 64 * mebibyte};
}

// At most what this version writes (64 MiB, 3 passes) with room for a stronger default later:
// a planted file must not turn each unlock into seconds of work and a gigabyte of memory.
bool kdfWithinBounds(const KdfParams& params) {
  return params.algorithm == kdfArgon2id13 && params.opslimit >= 1 && params.opslimit <= 6 &&
         params.memlimit >= 8 * mebibyte && params.memlimit <= 256 * mebibyte &&
         params.memlimit % 1024 == 0;
}

bool cryptoReady() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

SecureBytes randomSecret(std::size_t size) {
  SecureBytes bytes(size);
  if (size != 0) randombytes_buf(bytes.data(), size);
  return bytes;
}

std::string randomBytes(std::size_t size) {
  std::string bytes(size, '\0');
  if (size != 0) randombytes_buf(bytes.data(), size);
  return bytes;
}

OSStatus deriveWrappingKey(const SecureBytes& password, std::string_view salt,
                           const KdfParams& params, SecureBytes& wrappingKey) {
  if (!kdfWithinBounds(params) || salt.size() != crypto_pwhash_SALTBYTES) return errSecParam;
  SecureBytes key(keyBytes);
  static const char emptyPassword = 0;
  const char* text =
      password.empty() ? &emptyPassword : reinterpret_cast<const char*>(password.data());
  errno = 0;
  if (crypto_pwhash(key.data(), key.size(), text, password.size(), bytesOf(salt), params.opslimit,
                    static_cast<std::size_t>(params.memlimit), crypto_pwhash_ALG_ARGON2ID13) != 0) {
    return errno == ENOMEM ? errSecAllocate : errSecIO;
  }
  wrappingKey = std::move(key);
  return errSecSuccess;
}

std::string wrapAssociatedData(std::string_view keychainUuid, const KdfParams& params,
                               std::string_view salt) {
  ByteWriter ad;
  ad.raw(wrapTag);
  ad.field(keychainUuid);
  ad.u32(params.algorithm);
  ad.u64(params.opslimit);
  ad.u64(params.memlimit);
  ad.field(salt);
  return ad.bytes();
}

std::string itemAssociatedData(std::string_view keychainUuid, std::string_view itemUuid,
                               std::string_view itemClass, std::string_view service,
                               std::string_view account, std::string_view accessBlob) {
  unsigned char accessHash[crypto_generichash_BYTES];
  crypto_generichash(accessHash, sizeof accessHash, bytesOf(accessBlob), accessBlob.size(), nullptr,
                     0);
  ByteWriter ad;
  ad.raw(itemTag);
  ad.field(keychainUuid);
  ad.field(itemUuid);
  ad.field(itemClass);
  ad.field(service);
  ad.field(account);
  ad.field({reinterpret_cast<const char*>(accessHash), sizeof accessHash});
  return ad.bytes();
}

std::string seal(const SecureBytes& key, const SecureBytes& plaintext, std::string_view ad,
                 std::string& nonce) {
  nonce = randomBytes(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
  std::string ciphertext(plaintext.size() + crypto_aead_xchacha20poly1305_ietf_ABYTES, '\0');
  unsigned long long length = 0;
  crypto_aead_xchacha20poly1305_ietf_encrypt(
      reinterpret_cast<unsigned char*>(ciphertext.data()), &length, plaintext.data(),
      plaintext.size(), bytesOf(ad), ad.size(), nullptr, bytesOf(nonce), key.data());
  ciphertext.resize(static_cast<std::size_t>(length));
  return ciphertext;
}

bool open(const SecureBytes& key, std::string_view ciphertext, std::string_view nonce,
          std::string_view ad, SecureBytes& plaintext) {
  if (key.size() != crypto_aead_xchacha20poly1305_ietf_KEYBYTES ||
      nonce.size() != crypto_aead_xchacha20poly1305_ietf_NPUBBYTES ||
      ciphertext.size() < crypto_aead_xchacha20poly1305_ietf_ABYTES) {
    return false;
  }
  SecureBytes out(ciphertext.size() - crypto_aead_xchacha20poly1305_ietf_ABYTES);
  unsigned long long length = 0;
  // An empty secret still needs a valid output pointer.
  unsigned char scratch = 0;
  if (crypto_aead_xchacha20poly1305_ietf_decrypt(
          out.empty() ? &scratch : out.data(), &length, nullptr, bytesOf(ciphertext),
          ciphertext.size(), bytesOf(ad), ad.size(), bytesOf(nonce), key.data()) != 0) {
    return false;
  }
  plaintext = std::move(out);
  return true;
}

}  // namespace keychain
