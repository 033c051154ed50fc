// A file carried by the program as data: its bytes, their count and the
// name of the file they came from, with the stream form that keeps them in
// a resource ("Data": a 32-bit little-endian byte count, then the bytes).
// The start-up entry and the service unit are written through it, so the
// step that must follow a write (telling the service manager) hangs on
// the payload's OnSave.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class TFileData {
public:
    void Clear();
    void SetData(std::size_t count, const char* bytes);
    void Assign(const TFileData& other);

    // Reads the whole file when it exists and remembers its name part;
    // false (nothing changed) when it cannot be read.
    bool LoadFromFile(const std::string& path);
    // Writes every byte to path. The file is replaced in one step, so a
    // failed or interrupted write leaves the old file whole.
    bool SaveToFile(const std::string& path) const;

    const std::string& Data() const { return data_; }
    std::size_t Size() const { return data_.size(); }
    const std::string& FileName() const { return fileName_; }

    // The streamed property "Data". It is stored only when there are bytes.
    bool HasData() const { return !data_.empty(); }
    void WriteData(std::string& stream) const;
    // Reads one property from stream at pos and advances pos. A count that
    // runs past the end of the stream is refused (false, nothing changed).
    bool ReadData(const std::string& stream, std::size_t& pos);

private:
    std::string data_;
    std::string fileName_;
};

class TPayload {
public:
    TFileData FileData;
    // Fired after a successful write, with the payload as sender.
    std::function<void(TPayload& Sender)> OnSave;

    // FileData.SaveToFile, then OnSave when the write succeeded.
    bool SaveToFile(const std::string& path);
};
