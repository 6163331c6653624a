// The keychain's cryptography (libsodium): the password-derived key that wraps the keychain key
// K, and the per-item encryption under K with the item's identity as associated data.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Ferrowick/Foundation.h"
#include "Ferrowick/keystore/Security.h"

namespace keychain {

inline constexpr std::size_t uuidBytes = 16;
inline constexpr std::size_t saltBytes = 16;
inline constexpr std::size_t keyBytes = 32;
inline constexpr std::size_t nonceBytes = 24;  // XChaCha20-Poly1305
inline constexpr std::size_t tagBytes = 16;
inline constexpr std::size_t maxSecretBytes = 1 << 20;

inline constexpr std::uint32_t kdfArgon2id13 = 1;

struct KdfParams {
  std::uint32_t algorithm = kdfArgon2id13;
  std::uint64_t opslimit = 0;
  std::uint64_t memlimit = 0;  // bytes
};

// New keychains: Argon2id, 64 MiB, 3 passes (see keychainCrypto.cpp for why).
KdfParams newKdfParams();

// Parameters read from a file are attacker-controlled: only these are ever run.
bool kdfWithinBounds(const KdfParams& params);

// False when libsodium can't be used (no entropy source).
bool cryptoReady();

SecureBytes randomSecret(std::size_t size);
std::string randomBytes(std::size_t size);

// The key that wraps K. errSecAllocate when Argon2's work area can't be had.
OSStatus deriveWrappingKey(const SecureBytes& password, std::string_view salt,
                           const KdfParams& params, SecureBytes& wrappingKey);

// What the wrap of K is bound to: the keychain's uuid, KDF parameters and salt.
std::string wrapAssociatedData(std::string_view keychainUuid, const KdfParams& params,
                               std::string_view salt);

// An item's identity: keychain and item uuids, class, service, account and a hash of the
// serialized access object.
std::string itemAssociatedData(std::string_view keychainUuid, std::string_view itemUuid,
                               std::string_view itemClass, std::string_view service,
                               std::string_view account, std::string_view accessBlob);

// XChaCha20-Poly1305; the nonce is made here and returned.
std::string seal(const SecureBytes& key, const SecureBytes& plaintext, std::string_view ad,
                 std::string& nonce);
// False when the ciphertext doesn't authenticate (wrong key, tampering).
bool open(const SecureBytes& key, std::string_view ciphertext, std::string_view nonce,
          std::string_view ad, SecureBytes& plaintext);

}  // namespace keychain
