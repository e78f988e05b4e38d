#include "scratch.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <unistd.h>

namespace osl::fuzz {

namespace {

std::string folder;

void remove_folder() {
    if (DIR *d = opendir(folder.c_str())) {
        while (const dirent *e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..")
                unlink((folder + "/" + name).c_str());
        }
        closedir(d);
    }
    rmdir(folder.c_str());
}

const std::string &scratch_folder() {
    if (!folder.empty())
        return folder;
    const char *tmpdir = getenv("TMPDIR");
    for (const char *base : {"/dev/shm", tmpdir, "/tmp"}) {
        if (base == nullptr)
            continue;
        std::string pattern = std::string(base) + "/osl_fuzz.XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            folder = pattern;
            atexit(remove_folder);
            return folder;
        }
    }
    perror("osl_fuzz: no folder for the scratch files");
    abort();
}

} // namespace

std::string scratch_path(const char *name) {
    return scratch_folder() + "/" + name;
}

std::string scratch_write(const char *name, const uint8_t *data, size_t size) {
    const std::string path = scratch_path(name);
    FILE *f = fopen(path.c_str(), "wb");
    // An empty input may come as a null pointer, which fwrite must not see.
    if (f == nullptr || (size > 0 && fwrite(data, 1, size, f) != size) || fclose(f) != 0) {
        perror(path.c_str());
        abort();
    }
    return path;
}

} // namespace osl::fuzz
