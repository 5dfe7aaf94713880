#include "handlers/gestionnaire.h"

#include <algorithm>

#include "handlers/messages.h"
#include "hex/hex.h"
#include "hex/hex_check.h"
#include "platform/files.h"

namespace {

bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

}  // namespace

std::string TrimLeft(std::string_view text) {
  std::size_t first = 0;
  while (first < text.size() && IsBlank(text[first]))
    ++first;
  return std::string(text.substr(first));
}

std::string Trim(std::string_view text) {
  std::size_t first = 0;
  while (first < text.size() && IsBlank(text[first]))
    ++first;
  std::size_t end = text.size();
  while (end > first && IsBlank(text[end - 1]))
    --end;
  return std::string(text.substr(first, end - first));
}

TGestionnaire::TGestionnaire(void* Owner) : owner_(Owner), fileFolder_(platform::ProgramFolder()) {
  ResetFields();
}

void TGestionnaire::SetFileFolder(std::string Folder) {
  fileFolder_ = std::move(Folder);
}

void TGestionnaire::ResetFields() {
  instruction_.clear();
  bufIn_.clear();
  sendText_.clear();
  errorText_.clear();
  infoText_.clear();
  maxProgress_ = 100;
  busy_ = false;
  deviceID_ = 0;
  updateAllowed_ = false;
  retryCount_ = 0;
  slowLink_ = false;
}

std::string CutText(std::string_view text, std::size_t n) {
  return Trim(text.substr(std::min(n, text.size())));
}

void TGestionnaire::CutInstruction(std::size_t n) {
  instruction_ = CutText(instruction_, n);
}

void TGestionnaire::Refuse(const std::string& message) {
  Consume("X");
  Error(message);
}

bool TGestionnaire::CountRetry() {
  ++retryCount_;
  if (retryCount_ <= kMaxRetries) return true;
  Error(kTooManyRetries);
  return false;
}

void TGestionnaire::SendLine(const std::string& line) {
  Send(line + "\r\n");
}

std::uint64_t UploadBytes(const TLineUpload& upload) {
  constexpr std::uint64_t kChecksumRecordLength = 15;
  std::uint64_t bytes = kChecksumRecordLength + 3;
  for (const std::string& line : upload.lines)
    bytes += line.size() + 3;
  return bytes;
}

void TGestionnaire::StartUpload(TLineUpload& upload) {
  upload.next = 1;
  SendLine(upload.lines.front());
}

TUploadReply TGestionnaire::AwaitUploadReply(TLineUpload& upload) {
  Receive();
  if (ReplyIs('.')) {
    Consume(".");
    StepProgress();
    if (upload.next >= upload.lines.size()) return TUploadReply::Finished;
    SendLine(upload.lines[upload.next++]);
    return TUploadReply::Sent;
  }
  if (ReplyIs('X')) return TUploadReply::Refused;
  if (ReplyIs('R')) {
    Consume("R");
    if (CountRetry()) SendLine(upload.lines[upload.next - 1]);
    return TUploadReply::Sent;
  }
  return TUploadReply::None;
}

void TGestionnaire::SendChecksumRecord(const std::string& digits) {
  constexpr std::uint8_t kChecksumRecord = 0x0C;
  SendLine(MakeHexRecord(kChecksumRecord, 0x0000, digits));
}

void TGestionnaire::Reset() {
  ResetFields();
}

void TGestionnaire::Error(const std::string& Text) {
  errorText_ = Text;
  Fire(OnError, this);
}

void TGestionnaire::Fire(const TNotifyEvent& event, TGestionnaire* sender) {
  if (event) event(sender);
}

void TGestionnaire::SetBusy() {
  ++moves_;
  busy_ = true;
  Fire(OnChangeBusy, this);
}

void TGestionnaire::ClearBusy() {
  ++moves_;
  busy_ = false;
  Fire(OnChangeBusy, this);
}

void TGestionnaire::Info(const std::string& Text) {
  infoText_ = Text;
  Fire(OnInfo, this);
}

void TGestionnaire::SetMaxProgress(std::int32_t N) {
  maxProgress_ = N;
  Fire(OnChangeMaxProgress, this);
}

void TGestionnaire::StepProgress() {
  Fire(OnStepProgress, this);
}

void TGestionnaire::Send(const std::string& Text) {
  ++moves_;
  sendText_ = Text;
  Fire(OnSend, this);
}

void TGestionnaire::Receive() {
  Fire(OnReceive, this);
}

void TGestionnaire::Consume(std::string_view Text) {
  ++moves_;
  bufIn_.erase(0, Text.size());
  Fire(OnChangeBufIn, this);
}

void TGestionnaire::ClearBufIn() {
  ++moves_;
  bufIn_.clear();
  Fire(OnChangeBufIn, this);
}

void TGestionnaire::DropJunk() {
  bufIn_.erase(0, 1);
  Fire(OnChangeBufIn, this);
}

void TGestionnaire::SetDeviceID(std::int32_t N) {
  deviceID_ = N;
  Fire(OnChangeDeviceID, this);
}

void TGestionnaire::SpeedUp() {
  Fire(OnSpeedUp, this);
}

void TGestionnaire::SpeedDown() {
  Fire(OnSpeedDown, this);
}

std::string HexLineError(const std::string& name, std::int32_t line) {
  return kHexLineError + name + " line : " + std::to_string(line);
}

std::string LoadImageFile(const std::string& folder, const std::string& name, const HexArea& area,
                          const TImageMessages& messages, std::vector<std::string>& lines,
                          std::vector<TFileFinding>* findings) {
  const std::string path = folder + name;
  lines.clear();
  auto found = [&](const LineFinding& f) {
    if (findings) findings->push_back({path, f.line, f.warning, f.reason});
  };
  // Judged before reading: no image of a 64 KiB memory is this large, and
  // reading it would cost memory and time for nothing.
  const std::int64_t size = platform::FileSize(path);
  if (size > static_cast<std::int64_t>(kMaxHexFileBytes)) {
    found(
        {1, false, "file has " + std::to_string(size) + " bytes, more than an image can (1 MiB)"});
    return HexLineError(name, 1);
  }
  if (platform::ReadTextLines(path, lines) != platform::ReadStatus::kOk) return messages.notFound;
  if (lines.empty()) return std::string(messages.empty);
  std::string problem;
  for (const LineFinding& f : CheckHexFile(lines, area)) {
    found(f);
    if (!f.warning && problem.empty()) problem = HexLineError(name, f.line);
  }
  return problem;
}
