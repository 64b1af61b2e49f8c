#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The folders of src/ from the bottom up. A file includes files of its own folder and of lower levels
// only; forcefield and run share a level, so neither includes the other. src/main.cpp sits on top.
const std::map<std::string, int> level_of_folder = {
    {"control", 0},
    {"structure", 1},
    {"spectra", 2},
    {"theory", 3},
    {"optimisation/population", 4},
    {"optimisation/output", 5},
    {"optimisation/forcefield", 6},
    {"optimisation/run", 6},
    {"app", 7},
    {"", 8},
};

struct SourceFile {
    std::string path;    // relative to src/, as an include names it
    std::string folder;  // the path without its file name
    std::vector<std::string> includes;  // the quoted ones, as written
};

std::vector<SourceFile> source_files() {
    const fs::path root = fs::path(TALQ_SOURCE_DIR) / "src";
    const std::regex quoted_include(R"re(^\s*#\s*include\s*"([^"]+)")re");
    std::vector<SourceFile> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        const std::string extension = entry.path().extension().string();
        if (!entry.is_regular_file() || (extension != ".cpp" && extension != ".hpp")) continue;
        SourceFile file;
        file.path = entry.path().lexically_relative(root).generic_string();
        file.folder = entry.path().parent_path().lexically_relative(root).generic_string();
        if (file.folder == ".") file.folder.clear();
        std::ifstream in(entry.path());
        std::smatch match;
        for (std::string line; std::getline(in, line);) {
            if (std::regex_search(line, match, quoted_include)) file.includes.push_back(match[1]);
        }
        files.push_back(file);
    }
    std::sort(files.begin(), files.end(), [](const SourceFile& a, const SourceFile& b) { return a.path < b.path; });
    return files;
}

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// A file and its header are one unit: foo.cpp including bar.hpp makes foo depend on bar.
std::string unit_of(const std::string& path) { return path.substr(0, path.rfind('.')); }

}  // namespace

TEST(SourceLayout, EveryIncludeNamesAFileOfTheSameFolderOrOfALowerLevel) {
    const std::vector<SourceFile> files = source_files();
    ASSERT_GT(files.size(), 100u) << "the sources were not found under " << TALQ_SOURCE_DIR;
    for (const SourceFile& file : files) {
        const auto own = level_of_folder.find(file.folder);
        ASSERT_NE(own, level_of_folder.end()) << "src/" << file.folder << "/ has no place in the layer order";
        for (const std::string& include : file.includes) {
            EXPECT_TRUE(fs::exists(fs::path(TALQ_SOURCE_DIR) / "src" / include))
                << file.path << " includes " << include << ", which is no path under src/";
            const std::string folder = folder_of(include);
            if (folder == file.folder) continue;
            const auto target = level_of_folder.find(folder);
            ASSERT_NE(target, level_of_folder.end()) << file.path << " includes " << include << " from an unknown folder";
            EXPECT_LT(target->second, own->second) << file.path << " includes " << include << ", which is not below it";
        }
    }
}

// A source file depends on the files whose headers it includes; headers that name each other's records
// do not count. Two groups of units still reach each other and are known; any other group is a new cycle.
TEST(SourceLayout, NoSourceFileDependsOnItselfThroughOthers) {
    const std::vector<std::string> known_groups = {
        "optimisation/population/partial_rdf optimisation/population/state optimisation/population/state_exafs",
        "structure/cif_reader structure/structure structure/supercell structure/xyz_converter",
    };
    std::map<std::string, std::vector<std::string>> depends_on;
    for (const SourceFile& file : source_files()) {
        std::vector<std::string>& edges = depends_on[unit_of(file.path)];
        if (file.path.ends_with(".hpp")) continue;
        for (const std::string& include : file.includes) {
            if (unit_of(include) != unit_of(file.path)) edges.push_back(unit_of(include));
        }
    }
    // Tarjan's strongly connected components: every group of two or more units reaches itself.
    std::map<std::string, int> index;
    std::map<std::string, int> lowest;
    std::vector<std::string> stack;
    std::map<std::string, bool> on_stack;
    std::vector<std::string> groups;
    auto connect = [&](auto&& self, const std::string& unit) -> void {
        const int order = static_cast<int>(index.size());
        index[unit] = lowest[unit] = order;
        stack.push_back(unit);
        on_stack[unit] = true;
        for (const std::string& next : depends_on[unit]) {
            if (!index.contains(next)) {
                self(self, next);
                lowest[unit] = std::min(lowest[unit], lowest[next]);
            } else if (on_stack[next]) {
                lowest[unit] = std::min(lowest[unit], index[next]);
            }
        }
        if (lowest[unit] != index[unit]) return;
        std::vector<std::string> members;
        do {
            members.push_back(stack.back());
            on_stack[stack.back()] = false;
            stack.pop_back();
        } while (members.back() != unit);
        if (members.size() < 2) return;
        std::sort(members.begin(), members.end());
        std::string group;
        for (const std::string& member : members) group += (group.empty() ? "" : " ") + member;
        groups.push_back(group);
    };
    std::vector<std::string> units;
    for (const auto& [unit, edges] : depends_on) units.push_back(unit);
    for (const std::string& unit : units) {
        if (!index.contains(unit)) connect(connect, unit);
    }
    for (const std::string& group : groups) {
        EXPECT_NE(std::find(known_groups.begin(), known_groups.end(), group), known_groups.end())
            << "these source files depend on each other through their includes: " << group;
    }
}
