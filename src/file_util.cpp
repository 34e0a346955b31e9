#include "file_util.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "log.h"
#include "log_text.h"

int Ensure_Dir(const char* path) {
    if (access(path, F_OK) == 0) return 0;
    LOG_WARN("WARING path [%s]! not exist", path);
    if (mkdir(path, 0777) == 0) return 0;
    LOG_ERROR("cannot create %s: %s", path, strerror(errno));
    return -1;
}

int ACCESS_FILE_EXIT_R_OK(const char* path) {
    if (access(path, F_OK) != 0) {
        LOG_WARN("WARING file [%s]! not exist", path);
        return -1;
    }
    if (access(path, R_OK) != 0) {
        LOG_WARN("WARING file [%s]! without read permission", path);
        return -2;
    }
    return 0;
}

int delete_terminate_char(char* text) {
    int len = static_cast<int>(strlen(text));
    if (len >= 2 && text[len - 2] == '\r') text[len - 2] = '\0';
    if (len >= 1 && text[len - 1] == '\n') text[len - 1] = '\0';
    return len;
}

const char* GET_NAME_FROM_PATH(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

void Remove_Path(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (ec) {
        LOG_WARN("cannot remove %s: %s", Log_Line_Text(path.c_str()).c_str(),
                 ec.message().c_str());
    }
}

// A shell's "*" would leave hidden entries behind for the next upload to find.
void Empty_Directory(const char* dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        entries.push_back(it->path());
    }
    for (const fs::path& entry : entries) Remove_Path(entry);
}
