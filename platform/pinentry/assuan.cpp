#include "platform/pinentry/assuan.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>
#include <utility>

#include "platform/pinentry/Pinentry.h"

namespace pinentry {

namespace {

bool needsEscape(unsigned char byte) {
  return byte < 0x20 || byte == '%';
}

std::size_t escapedSize(unsigned char byte) {
  return needsEscape(byte) ? 3 : 1;
}

void appendEscaped(std::string& out, unsigned char byte) {
  static const char hex[] = "0123456789ABCDEF";
  if (needsEscape(byte)) {
    out += '%';
    out += hex[byte >> 4];
    out += hex[byte & 0x0F];
  } else {
    out += static_cast<char>(byte);
  }
}

bool isContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) appendEscaped(out, static_cast<unsigned char>(c));
  return out;
}

std::string commandLine(std::string_view command, std::string_view text) {
  std::string line(command);
  if (text.empty()) return line;
  line += ' ';
  std::size_t whole = 0;
  for (char c : text) whole += escapedSize(static_cast<unsigned char>(c));
  // A text that doesn't fit ends with a mark, so the owner sees there was more than shown.
  constexpr std::string_view cutMark = "…";
  bool cut = line.size() + whole > assuan::maxLineLength;
  std::size_t room = assuan::maxLineLength - (cut ? cutMark.size() : 0);
  // Whole characters only: a lead byte and its continuation bytes go in together or not at all.
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t end = i + 1;
    while (end < text.size() && end - i < 4 &&
           isContinuation(static_cast<unsigned char>(text[end]))) {
      ++end;
    }
    std::size_t needed = 0;
    for (std::size_t k = i; k < end; ++k)
      needed += escapedSize(static_cast<unsigned char>(text[k]));
    if (line.size() + needed > room) break;
    for (std::size_t k = i; k < end; ++k) appendEscaped(line, static_cast<unsigned char>(text[k]));
    i = end;
  }
  if (cut) line += cutMark;
  return line;
}

namespace assuan {

bool unescapeInto(std::string_view data, SecureBytes& out) {
  SecureBytes decoded(data.size());
  std::size_t size = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (data[i] != '%') {
      decoded.data()[size++] = static_cast<std::uint8_t>(data[i]);
      continue;
    }
    if (data.size() - i < 3) return false;
    int high = hexValue(data[i + 1]);
    int low = hexValue(data[i + 2]);
    if (high < 0 || low < 0) return false;
    decoded.data()[size++] = static_cast<std::uint8_t>(high * 16 + low);
    i += 2;
  }
  out.append(decoded.data(), size);
  return true;
}

std::optional<unsigned> errorCode(std::string_view line) {
  if (line.substr(0, 4) != "ERR ") return std::nullopt;
  std::string_view rest = line.substr(4);
  unsigned long code = 0;
  auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), code);
  if (error != std::errc() || end == rest.data()) return 0xFFFFu;  // unknown: not a cancel
  return static_cast<unsigned>(code & 0xFFFFu);
}

LineReader::LineReader(Fill fill, std::size_t capacity)
    : fill_(std::move(fill)), buffer_(capacity) {}

Io LineReader::next(std::string_view& line) {
  while (true) {
    auto* bytes = reinterpret_cast<const char*>(buffer_.data());
    if (start_ < end_) {
      if (const void* lf = std::memchr(bytes + start_, '\n', end_ - start_)) {
        std::size_t at = static_cast<std::size_t>(static_cast<const char*>(lf) - bytes);
        line = std::string_view(bytes + start_, at - start_);
        start_ = at + 1;
        return Io::ok;
      }
    }
    if (start_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
      end_ -= start_;
      start_ = 0;
    }
    if (end_ == buffer_.size()) return Io::eof;  // no such line in this protocol
    std::size_t got = 0;
    Io io = fill_(std::span<std::uint8_t>(buffer_.data() + end_, buffer_.size() - end_), got);
    if (io != Io::ok) return io;
    if (got == 0 || got > buffer_.size() - end_) return Io::eof;
    end_ += got;
  }
}

Reply readReply(LineReader& lines, SecureBytes* data, const std::function<Io()>& cancelInquiry) {
  Reply reply;
  std::string_view line;
  while ((reply.io = lines.next(line)) == Io::ok) {
    if (line == "OK" || line.starts_with("OK ")) {
      reply.ok = true;
      return reply;
    }
    if (auto code = errorCode(line)) {
      reply.code = *code;
      return reply;
    }
    if (line.starts_with("D ")) {
      if (data == nullptr) {
        reply.badData = true;
        continue;
      }
      SecureBytes piece;
      if (!unescapeInto(line.substr(2), piece)) {
        reply.badData = true;
      } else if (piece.size() > maxPinSize - std::min(data->size(), maxPinSize)) {
        // Refused at once: nothing past the cap is kept or copied, however much more comes.
        reply.badData = true;
        data->clear();
        return reply;
      } else {
        data->append(piece.data(), piece.size());
      }
    } else if (line == "S PIN_REPEATED" || line.starts_with("S PIN_REPEATED ")) {
      reply.repeated = true;
    } else if (line.starts_with("INQUIRE ")) {
      if (cancelInquiry() != Io::ok) break;
    }
    // Other status lines and comments carry nothing we use.
  }
  return reply;
}

Outcome failure(const Reply& reply) {
  if (reply.io == Io::stopped) return Outcome::stopped;
  if (reply.io != Io::ok || reply.badData) return Outcome::unavailable;
  if (reply.code == codeCancelled) return Outcome::cancelled;
  if (reply.code == codeTimeout) return Outcome::timedOut;
  return Outcome::unavailable;
}

Outcome pinOutcome(const Reply& reply) {
  return reply.ok && !reply.badData ? Outcome::pin : failure(reply);
}

Outcome confirmOutcome(const Reply& reply) {
  if (reply.ok) return Outcome::confirmed;
  if (reply.io == Io::ok && reply.code == codeNotConfirmed) return Outcome::cancelled;
  return failure(reply);
}

}  // namespace assuan
}  // namespace pinentry
