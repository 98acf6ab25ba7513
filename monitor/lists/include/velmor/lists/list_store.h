#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "velmor/lists/shared_decisions.h"
#include "velmor/platform/address_text.h"

namespace velmor::lists {

// The source name of a named list in SharedDecisions: "list:" and the name.
std::string ListSource(std::string_view name);

// Whether `name` may name a list: a plain file name of at most 100 bytes without "..", without a
// leading '.', and without '/', '\\' or control bytes.
bool IsListName(std::string_view name);

// Named imported lists, one file NAME.list each in a folder of their own (e.g.
// $XDG_DATA_HOME/velmor/lists): the ranges of the list, one per line, under a comment header. The
// file's last write is the list's last update.
class ListStore final {
public:
    explicit ListStore(std::filesystem::path folder);

    const std::filesystem::path& Folder() const { return folder_; }

    struct Imported {
        bool saved = false;
        std::string error;           // why not saved (Korean, for the user), "" when saved
        std::size_t entries = 0;     // ranges kept
        std::vector<int> bad_lines;  // lines of the text skipped as malformed
    };
    // Parses `text` as a block list and keeps it under `name`, replacing a list of that name. A
    // text without a single range (but with malformed lines) replaces nothing.
    Imported Import(std::string_view name, std::string_view text);
    bool Remove(std::string_view name);
    // Reads every list of the folder again (at start); lists whose file went are forgotten.
    void Load();

    std::vector<std::string> Names() const;
    struct Info {
        std::size_t entries = 0;
        std::chrono::system_clock::time_point updated{};
    };
    // Entries and last update of a list; zero entries for an unknown name.
    Info InfoOf(std::string_view name) const;
    const std::vector<platform::AddressRange>& Ranges(std::string_view name) const;
    // The list as decisions of its source, never expiring.
    std::vector<SharedDecision> Decisions(std::string_view name) const;

private:
    struct List {
        std::vector<platform::AddressRange> ranges;
        std::chrono::system_clock::time_point updated{};
    };
    std::filesystem::path PathOf(std::string_view name) const;

    std::filesystem::path folder_;
    std::map<std::string, List, std::less<>> lists_;
};

}  // namespace velmor::lists
