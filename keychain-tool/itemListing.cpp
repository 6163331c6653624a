#include "keychain-tool/itemListing.h"

#include <ctime>

#include "platform/files/fileBasics.h"
#include "platform/keychain/keychainPrompt.h"
#include "platform/keychain/keychainStatement.h"

namespace keychain_tool {

namespace {

std::string timeText(std::int64_t seconds) {
  std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (gmtime_r(&time, &parts) == nullptr) return std::to_string(seconds);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

// `text` is already free of control characters; only quotes and backslashes remain to escape.
std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string escaped(std::string_view bytes) {
  std::string doubled;
  for (char c : bytes) {
    doubled += c;
    if (c == '\\') doubled += '\\';
  }
  return keychain::displayText(doubled, std::string::npos);
}

std::string listingText(const std::vector<keychain::care::ItemSummary>& items) {
  std::string out;
  for (const auto& item : items) {
    out +=
        timeText(item.created) + "\t" + escaped(item.service) + "\t" + escaped(item.account) + "\n";
  }
  return out;
}

std::string listingJson(const std::vector<keychain::care::ItemSummary>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    const auto& item = items[i];
    out += i == 0 ? "\n" : ",\n";
    out += "  {\"service\": " + jsonString(escaped(item.service)) +
           ", \"account\": " + jsonString(escaped(item.account)) + ", \"serviceHex\": \"" +
           files::toHex(item.service) + "\", \"accountHex\": \"" + files::toHex(item.account) +
           "\", \"created\": " + std::to_string(item.created) + ", \"createdText\": \"" +
           timeText(item.created) + "\"}";
  }
  return out + (items.empty() ? "]\n" : "\n]\n");
}

}  // namespace keychain_tool
