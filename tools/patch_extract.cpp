// Extraction: the inverse of build, for checking what a patch carries.
#include "patch_extract.h"

#include "patch_inspect.h"
#include "patch_platform.h"
#include "patch_text.h"
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

bool ExtractPatch(const std::string& patch, const std::string& folder, uint32_t* files,
                  std::vector<std::string>* problems) {
    *files = 0;
    PatchReport report;
    InspectPatch(patch, &report);
    if (!report.errors.empty()) {
        problems->push_back(patch + " does not verify; run krnpatch verify for the reasons");
        return false;
    }
    std::ifstream in(fs::u8path(patch), std::ios::binary);
    std::vector<char> bytes;
    for (const InspectedEntry& entry : report.entries) {
        // Install paths passed the safety checks above: relative, no "..".
        std::string relative = SjisToUtf8(entry.installName);
        for (char& c : relative)
            if (c == '\\') c = '/';
        fs::path target = fs::u8path(folder) / fs::u8path(relative);
        std::error_code ec;
        fs::create_directories(target.parent_path(), ec);
        bytes.resize(entry.size);
        in.seekg((std::streamoff)report.dataStart + entry.offset);
        if (entry.size && !in.read(bytes.data(), (std::streamsize)entry.size)) {
            problems->push_back(patch + ": cannot read " + SjisToUtf8(entry.name));
            return false;
        }
        std::string error;
        if (!ReplaceFileWith(target.u8string(), (const unsigned char*)bytes.data(), bytes.size(),
                             &error)) {
            problems->push_back(error);
            return false;
        }
        ++*files;
    }
    return true;
}
