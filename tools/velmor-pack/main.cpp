// velmor-pack: builds an update package and the update-information page that announces it.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "pack_plan.h"
#include "velmor/updater/fields.h"
#include "velmor/updater/package.h"
#include "velmor/updater/signature.h"

namespace {

constexpr const char* kUsage =
    "usage: velmor-pack -o PACKAGE -l LAUNCH [--page FILE --label TEXT --url ADDRESS --key PRIVATE_KEY]\n"
    "                   SOURCE[=STORED]...\n"
    "       velmor-pack keygen PRIVATE_KEY PUBLIC_KEY\n"
    "       velmor-pack --check PAGE PACKAGE PUBLIC_KEY\n"
    "       velmor-pack --list PACKAGE\n"
    "       velmor-pack --older-than VERSION\n"
    "\n"
    "  -o, --output PACKAGE   the package to write\n"
    "  -l, --launch LAUNCH    program (relative to the product folder) and arguments to start\n"
    "                         after unpacking, e.g. \"velmor\"\n"
    "  --page FILE            also write the update-information page for the package\n"
    "  --label TEXT           version or build label on the page (e.g. 1.0704.01)\n"
    "  --url ADDRESS          address the package will be downloaded from (https://...)\n"
    "  -k, --key PRIVATE_KEY  the release private key: the page carries the package's signature\n"
    "  SOURCE                 a folder (its whole tree) or a file; =STORED names the folder or\n"
    "                         file inside the product folder (use / or \\ between folders)\n"
    "  keygen                 write a new Ed25519 key pair: the private key (mode 0600, never\n"
    "                         overwritten) and the public key PEM that ships as\n"
    "                         support/update-key.pem\n"
    "  --check                verify that PAGE announces PACKAGE with its size and a signature\n"
    "                         that PUBLIC_KEY accepts, as the Updater will\n"
    "  --list PACKAGE         print the launch name and the directory of a package\n"
    "  --older-than VERSION   print a regular expression matching every older version\n";

bool ReadFile(const std::filesystem::path& path, std::string& contents) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    contents = buffer.str();
    return !in.bad();
}

bool WriteFile(const std::filesystem::path& path, std::string_view contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.close();
    return out.good();
}

// The private key is written so that only its owner can ever read it, and an existing key is never
// replaced: losing the release key would strand every installed copy.
int KeyGen(const std::filesystem::path& private_path, const std::filesystem::path& public_path) {
    std::error_code error;
    for (const auto& path : {private_path, public_path}) {
        if (std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
            std::cerr << "velmor-pack: " << path.string() << " exists already; not replaced\n";
            return 1;
        }
    }
    const auto keys = velmor::updater::GenerateKeyPair();
    if (!keys) {
        std::cerr << "velmor-pack: cannot make a key pair\n";
        return 1;
    }
    {
        std::ofstream create(private_path, std::ios::binary);
        if (!create) {
            std::cerr << "velmor-pack: cannot write " << private_path.string() << "\n";
            return 1;
        }
    }
    using std::filesystem::perms;
    std::filesystem::permissions(private_path, perms::owner_read | perms::owner_write, error);
    if (error || !WriteFile(private_path, keys->private_pem)) {
        std::filesystem::remove(private_path, error);
        std::cerr << "velmor-pack: cannot write " << private_path.string() << "\n";
        return 1;
    }
    if (!WriteFile(public_path, keys->public_pem)) {
        std::cerr << "velmor-pack: cannot write " << public_path.string() << "\n";
        return 1;
    }
    std::cout << "velmor-pack: private key " << private_path.string() << " (keep it out of every repository),"
              << " public key " << public_path.string() << "\n";
    return 0;
}

// What the Updater checks, checked before publishing: the page parses, announces the package's size,
// and carries a signature of the package that the given public key accepts.
int Check(const std::filesystem::path& page_path, const std::filesystem::path& package_path,
          const std::filesystem::path& key_path) {
    std::string page_text;
    std::string package;
    if (!ReadFile(page_path, page_text) || !ReadFile(package_path, package)) {
        std::cerr << "velmor-pack: cannot read the page or the package\n";
        return 1;
    }
    const auto page = velmor::updater::ParseUpdatePage(page_text);
    if (!page) {
        std::cerr << "velmor-pack: " << page_path.string() << " is not an update page\n";
        return 1;
    }
    if (page->package_size != std::to_string(package.size())) {
        std::cerr << "velmor-pack: the page announces " << page->package_size << " bytes, the package has "
                  << package.size() << "\n";
        return 1;
    }
    if (!velmor::updater::VerifyPackageFile(package_path, page->signature, key_path)) {
        std::cerr << "velmor-pack: the signature on the page does not verify with " << key_path.string()
                  << "\n";
        return 1;
    }
    std::cout << "velmor-pack: page, package and key agree\n";
    return 0;
}

int List(const std::filesystem::path& path) {
    std::string bytes;
    if (!ReadFile(path, bytes)) {
        std::cerr << "velmor-pack: cannot read " << path.string() << "\n";
        return 1;
    }
    using namespace velmor::updater;
    const PackageHeader header = ParseHeader(bytes);
    std::cout << "launch: " << header.launch_name.value_or("(no end)") << "\n";
    if (header.directory_offset == 0 || header.directory_offset >= bytes.size()) return 0;
    for (const auto& entry : ParseDirectory(std::string_view(bytes).substr(header.directory_offset))) {
        const std::string folder = entry.folder_name.value_or("(no end)");
        std::cout << entry.data_offset << "\t" << entry.compressed_size << "\t" << entry.unpacked_size << "\t"
                  << (folder.empty() ? "" : folder + "\\") << entry.file_name.value_or("(no end)") << "\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string output;
    std::string launch;
    bool have_launch = false;
    std::string page;
    std::string label;
    std::string url;
    std::string key;
    std::vector<std::string> sources;
    if (argc >= 2 && std::string_view(argv[1]) == "keygen") {
        if (argc != 4) {
            std::cerr << kUsage;
            return 2;
        }
        return KeyGen(argv[2], argv[3]);
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        bool ok = true;
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "--list") {
            std::string package;
            if (!value(package))
                ok = false;
            else
                return List(package);
        } else if (arg == "--check") {
            if (i + 3 >= argc) {
                ok = false;
            } else {
                return Check(argv[i + 1], argv[i + 2], argv[i + 3]);
            }
        } else if (arg == "--older-than") {
            std::string version;
            if (!value(version))
                ok = false;
            else if (const auto pattern = velmor::pack::OlderVersionPattern(version)) {
                std::cout << *pattern << "\n";
                return 0;
            } else {
                std::cerr << "velmor-pack: not a dotted decimal version: " << version << "\n";
                return 1;
            }
        } else if (arg == "-o" || arg == "--output") {
            ok = value(output);
        } else if (arg == "-l" || arg == "--launch") {
            ok = have_launch = value(launch);
        } else if (arg == "--page") {
            ok = value(page);
        } else if (arg == "--label") {
            ok = value(label);
        } else if (arg == "--url") {
            ok = value(url);
        } else if (arg == "-k" || arg == "--key") {
            ok = value(key);
        } else if (!arg.empty() && arg[0] == '-') {
            ok = false;
        } else {
            sources.push_back(arg);
        }
        if (!ok) {
            std::cerr << "velmor-pack: bad argument " << arg << "\n" << kUsage;
            return 2;
        }
    }
    if (output.empty() || !have_launch || sources.empty() ||
        (!page.empty() && (label.empty() || url.empty() || key.empty()))) {
        std::cerr << kUsage;
        return 2;
    }
    for (const std::string& value : {label, url}) {
        if (value.find_first_of("[]\r\n") != std::string::npos) {
            std::cerr << "velmor-pack: the label and the address cannot hold brackets or line breaks\n";
            return 2;
        }
    }

    // The key is read and tried before any work: a wrong key file fails at once.
    std::string private_key;
    if (!key.empty() && (!ReadFile(key, private_key) || !velmor::updater::SignToBase64("", private_key))) {
        std::cerr << "velmor-pack: " << key << " is not an Ed25519 private key\n";
        return 1;
    }

    std::string error;
    const auto plan = velmor::pack::PlanSources(sources, &error);
    if (!plan) {
        std::cerr << "velmor-pack: " << error << "\n";
        return 1;
    }
    for (const auto& folder : velmor::pack::FoldersNeedingParent(*plan)) {
        std::cerr << "velmor-pack: warning: the parent of folder " << folder
                  << " holds no file in the package; it must exist on the target already\n";
    }
    std::vector<velmor::updater::PackFile> files;
    files.reserve(plan->size());
    for (const auto& planned : *plan) {
        velmor::updater::PackFile file{planned.folder_name, planned.file_name, {}};
        if (!ReadFile(planned.source, file.contents)) {
            std::cerr << "velmor-pack: cannot read " << planned.source.string() << "\n";
            return 1;
        }
        // Stored names that the unpacker would refuse are refused here already.
        if ((!file.folder_name.empty() && !velmor::updater::SplitStoredName(file.folder_name)) ||
            !velmor::updater::SplitStoredName(file.file_name)) {
            std::cerr << "velmor-pack: refused name " << file.folder_name << "\\" << file.file_name << "\n";
            return 1;
        }
        files.push_back(std::move(file));
    }
    const auto package = velmor::updater::BuildPackage(launch, files, &error);
    if (!package) {
        std::cerr << "velmor-pack: " << error << "\n";
        return 1;
    }
    if (!WriteFile(output, *package)) {
        std::cerr << "velmor-pack: cannot write " << output << "\n";
        return 1;
    }
    if (!page.empty()) {
        const auto signature = velmor::updater::SignToBase64(*package, private_key);
        if (!signature) {
            std::cerr << "velmor-pack: cannot sign the package\n";
            return 1;
        }
        if (!WriteFile(page, velmor::pack::UpdatePageText(label, url, package->size(), *signature))) {
            std::cerr << "velmor-pack: cannot write " << page << "\n";
            return 1;
        }
    }
    std::cout << "velmor-pack: " << files.size() << " files, " << package->size() << " bytes in " << output
              << "\n";
    return 0;
}
