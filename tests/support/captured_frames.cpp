#include "tests/support/captured_frames.h"

#include "midi/input_callback.h"

namespace melvix {

std::string CapturedFrames::Text::copy() {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

std::string CapturedFrames::Text::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string text;
  text.swap(text_);
  return text;
}

void CapturedFrames::Text::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  text_.clear();
}

std::streamsize CapturedFrames::Text::xsputn(const char* bytes, std::streamsize count) {
  std::lock_guard<std::mutex> lock(mutex_);
  text_.append(bytes, static_cast<std::size_t>(count));
  return count;
}

CapturedFrames::Text::int_type CapturedFrames::Text::overflow(int_type byte) {
  if (traits_type::eq_int_type(byte, traits_type::eof())) return traits_type::not_eof(byte);
  std::lock_guard<std::mutex> lock(mutex_);
  text_.push_back(traits_type::to_char_type(byte));
  return byte;
}

CapturedFrames::CapturedFrames(CMidi* midi)
    : midi_(midi), queue_(std::make_unique<FrameQueue>(writer_)) {
  if (midi_ != nullptr) midi_->SetMessageSink(queue_.get());
  setInputCallbackTarget(midi_);
}

CapturedFrames::~CapturedFrames() {
  setInputCallbackTarget(nullptr);
  if (midi_ != nullptr) midi_->SetMessageSink(nullptr);
  queue_.reset();
}

std::string CapturedFrames::bytes() const {
  queue_->Flush();
  return text_.copy();
}

std::vector<std::string> CapturedFrames::texts() const { return splitFrames(bytes()); }

std::vector<std::string> CapturedFrames::take() {
  queue_->Flush();
  return splitFrames(text_.take());
}

void CapturedFrames::clear() {
  queue_->Flush();
  text_.clear();
}

std::vector<std::string> splitFrames(const std::string& bytes) {
  std::vector<std::string> texts;
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 4) {
      texts.push_back("<torn>");
      break;
    }
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(bytes[at + i]);
    at += 4;
    if (bytes.size() - at < n) {
      texts.push_back("<torn>");
      break;
    }
    texts.push_back(bytes.substr(at, n));
    at += n;
  }
  return texts;
}

}  // namespace melvix
