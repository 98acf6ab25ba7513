#include "pack_plan.h"

#include <algorithm>
#include <set>
#include <system_error>

namespace velmor::pack {
namespace {

std::string StoredName(const std::filesystem::path& relative) {
    std::string name;
    for (const auto& part : relative) {
        if (!name.empty()) name += '\\';
        name += part.string();
    }
    return name;
}

int Depth(std::string_view folder) {
    if (folder.empty()) return 0;
    return 1 + static_cast<int>(std::count(folder.begin(), folder.end(), '\\'));
}

void AddFile(std::vector<PlannedFile>& files, const std::filesystem::path& source, std::string stored) {
    std::replace(stored.begin(), stored.end(), '/', '\\');
    const auto split = stored.rfind('\\');
    PlannedFile file{source, {}, stored};
    if (split != std::string::npos) {
        file.folder_name = stored.substr(0, split);
        file.file_name = stored.substr(split + 1);
    }
    files.push_back(std::move(file));
}

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Matches the number `digits` in any zero-padded spelling.
std::string EqualPattern(std::string_view digits) {
    const auto first = digits.find_first_not_of('0');
    if (first == std::string_view::npos) return "0+";
    return "0*" + std::string(digits.substr(first));
}

// Matches every number smaller than `digits`, in any zero-padded spelling; empty when none is.
std::string LessPattern(std::string_view digits) {
    const auto first = digits.find_first_not_of('0');
    if (first == std::string_view::npos) return {};
    const std::string n(digits.substr(first));
    const std::size_t length = n.size();
    std::vector<std::string> alternatives{"0+"};
    // 1 .. 9..9 with fewer digits than n.
    if (length >= 2) alternatives.push_back("0*[1-9][0-9]{0," + std::to_string(length - 2) + "}");
    // Same number of digits: equal up to position i, smaller there, anything after.
    for (std::size_t i = 0; i < length; ++i) {
        const char low = i == 0 ? '1' : '0';
        const char high = static_cast<char>(n[i] - 1);
        if (high < low) continue;
        std::string alternative = "0*" + n.substr(0, i);
        alternative +=
            low == high ? std::string(1, low) : "[" + std::string(1, low) + "-" + std::string(1, high) + "]";
        if (i + 1 < length) alternative += "[0-9]{" + std::to_string(length - i - 1) + "}";
        alternatives.push_back(std::move(alternative));
    }
    std::string pattern = "(?:";
    for (std::size_t i = 0; i < alternatives.size(); ++i) pattern += (i ? "|" : "") + alternatives[i];
    return pattern + ")";
}

}  // namespace

std::optional<std::vector<PlannedFile>> PlanSources(const std::vector<std::string>& sources,
                                                    std::string* error) {
    std::vector<PlannedFile> files;
    for (const auto& source : sources) {
        const auto equals = source.find('=');
        const std::filesystem::path path = source.substr(0, equals);
        const std::string stored = equals == std::string::npos ? std::string{} : source.substr(equals + 1);
        std::error_code failure;
        if (std::filesystem::is_directory(path, failure)) {
            std::vector<std::filesystem::path> tree;
            for (auto it = std::filesystem::recursive_directory_iterator(path, failure);
                 !failure && it != std::filesystem::recursive_directory_iterator(); it.increment(failure)) {
                if (it->is_regular_file(failure)) tree.push_back(it->path());
            }
            if (failure) {
                *error = "cannot read folder " + path.string() + ": " + failure.message();
                return std::nullopt;
            }
            for (const auto& file : tree) {
                const std::string relative = StoredName(file.lexically_relative(path));
                AddFile(files, file, stored.empty() ? relative : stored + "\\" + relative);
            }
        } else if (std::filesystem::is_regular_file(path, failure)) {
            AddFile(files, path, stored.empty() ? path.filename().string() : stored);
        } else {
            *error = "no such file or folder: " + path.string();
            return std::nullopt;
        }
    }
    // Shallow folders first, so every folder level is created before the ones inside it.
    std::stable_sort(files.begin(), files.end(), [](const PlannedFile& a, const PlannedFile& b) {
        const int da = Depth(a.folder_name);
        const int db = Depth(b.folder_name);
        if (da != db) return da < db;
        if (a.folder_name != b.folder_name) return a.folder_name < b.folder_name;
        return a.file_name < b.file_name;
    });
    return files;
}

std::vector<std::string> FoldersNeedingParent(const std::vector<PlannedFile>& files) {
    std::set<std::string> created;
    std::vector<std::string> missing;
    for (const auto& file : files) {
        const auto& folder = file.folder_name;
        if (folder.empty() || created.contains(folder)) continue;
        const auto split = folder.rfind('\\');
        if (split != std::string::npos && !created.contains(folder.substr(0, split)))
            missing.push_back(folder);
        created.insert(folder);
    }
    return missing;
}

std::string UpdatePageText(std::string_view label, std::string_view package_url, std::uint64_t package_size,
                           std::string_view signature) {
    std::string page = "<html><head><title>Velmor update</title></head><body>\r\n<!--";
    page += "[" + std::string(label) + "]";
    page += "[" + std::string(package_url) + "]";
    page += "[" + std::to_string(package_size) + "]";
    page += "[" + std::string(signature) + "]";
    page += "-->\r\n</body></html>\r\n";
    return page;
}

std::optional<std::string> OlderVersionPattern(std::string_view version) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const auto dot = version.find('.', start);
        parts.push_back(
            version.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start));
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    if (!std::all_of(parts.begin(), parts.end(), AllDigits)) return std::nullopt;

    // Older means: equal in the first i parts and smaller in part i; the parts after are free.
    std::vector<std::string> alternatives;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const std::string less = LessPattern(parts[i]);
        if (less.empty()) continue;
        std::string alternative;
        for (std::size_t j = 0; j < parts.size(); ++j) {
            if (j > 0) alternative += "\\.";
            alternative += j < i ? EqualPattern(parts[j]) : j == i ? less : "[0-9]+";
        }
        alternatives.push_back(std::move(alternative));
    }
    if (alternatives.empty()) return "^(?!)$";  // nothing is older than 0.0...
    std::string pattern = "^(?:";
    for (std::size_t i = 0; i < alternatives.size(); ++i) pattern += (i ? "|" : "") + alternatives[i];
    return pattern + ")$";
}

}  // namespace velmor::pack
