// Runs a fuzz target over files and directories of inputs without the
// fuzzing engine: the seed and regression corpora become unit tests in every
// build configuration (any compiler, sanitizers, 32-bit).
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int replay_file(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return -1;
    }
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(data.data(), data.size());
    return 1;
}

int replay(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "no such input: %s\n", path.c_str());
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) return replay_file(path);
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || name[0] == '.') continue;
        int r = replay(path + "/" + name);
        if (r < 0) {
            count = -1;
            break;
        }
        count += r;
    }
    closedir(dir);
    return count;
}

}  // namespace

int main(int argc, char **argv) {
    int total = 0;
    for (int i = 1; i < argc; i++) {
        int r = replay(argv[i]);
        if (r < 0) return 1;
        total += r;
    }
    LLVMFuzzerTestOneInput(nullptr, 0);
    std::printf("%d inputs replayed\n", total);
    return total > 0 ? 0 : 1;  // replaying nothing proves nothing
}
