// File payloads: bytes with their stream form and a crash-safe write.
#include "settings/payload.h"

#include "platform/files.h"

void TFileData::Clear() {
    data_.clear();
    fileName_.clear();
}

void TFileData::SetData(std::size_t count, const char* bytes) {
    if (count == 0 || bytes == nullptr) {
        data_.clear();
        return;
    }
    data_.assign(bytes, count);
}

void TFileData::Assign(const TFileData& other) {
    if (&other == this) return;
    data_ = other.data_;
    fileName_ = other.fileName_;
}

bool TFileData::LoadFromFile(const std::string& path) {
    if (!platform::FileExists(path)) return false;
    std::string bytes;
    if (!platform::ReadFile(path, bytes)) return false;
    data_ = std::move(bytes);
    const auto slash = path.find_last_of('/');
    fileName_ = slash == std::string::npos ? path : path.substr(slash + 1);
    return true;
}

bool TFileData::SaveToFile(const std::string& path) const { return platform::WriteFileAtomic(path, data_); }

void TFileData::WriteData(std::string& stream) const {
    const auto count = static_cast<std::uint32_t>(data_.size());
    for (int i = 0; i < 4; ++i) stream.push_back(static_cast<char>((count >> (8 * i)) & 0xFF));
    stream.append(data_, 0, count);
}

bool TFileData::ReadData(const std::string& stream, std::size_t& pos) {
    if (pos > stream.size() || stream.size() - pos < 4) return false;
    std::uint32_t count = 0;
    for (int i = 0; i < 4; ++i)
        count |= static_cast<std::uint32_t>(static_cast<unsigned char>(stream[pos + static_cast<std::size_t>(i)]))
                 << (8 * i);
    if (stream.size() - pos - 4 < count) return false;
    data_.assign(stream, pos + 4, count);
    pos += 4 + count;
    return true;
}

bool TPayload::SaveToFile(const std::string& path) {
    if (!FileData.SaveToFile(path)) return false;
    if (OnSave) OnSave(*this);
    return true;
}
