// Fuzz target: any bytes as a table file must either load or raise the
// table library's exception; never crash, leak or read out of bounds. A
// table that loads, or keeps the records before the damage as the program
// loads its tables, must save and load again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <unistd.h>

#include "tables/memtable.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "table_loader_fuzz." + std::to_string(::getpid()) + ".dat";
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    TvdlMemTable t;
    t.KeepRecordsReadOnError = true;
    try {
        t.LoadFromBinaryFile(path);
    } catch (const std::exception&) {
        if (!t.Active()) {
            std::remove(path.c_str());
            return 0;
        }
    }
    try {
        for (t.First(); !t.Eof(); t.Next()) {
        }
        t.SaveToBinaryFile(path);
        TvdlMemTable again;
        again.LoadFromBinaryFile(path);
    } catch (const std::exception&) {
    }
    std::remove(path.c_str());
    return 0;
}
