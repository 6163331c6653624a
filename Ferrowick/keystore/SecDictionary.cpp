#include "Ferrowick/keystore/Security.h"

void SecDictionary::set(CFStringRef key, SecValue value) {
  for (Entry& entry : entries_) {
    if (entry.first == key) {
      entry.second = std::move(value);
      return;
    }
  }
  entries_.emplace_back(std::string(key), std::move(value));
}

const SecValue* SecDictionary::find(CFStringRef key) const {
  for (const Entry& entry : entries_) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}
