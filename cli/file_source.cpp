#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/kevo_cli.h"
#include "container/kevo_container.h"

namespace {

// The byte that leads each name in a folder's list.
constexpr char kTakenFile = 'f';
constexpr char kSubfolder = 'd';

const char* const kExtension = ".kevo";

bool hasKevoExtension(const char* name)
{
    const size_t length = std::strlen(name);
    const size_t extension = std::strlen(kExtension);
    return length > extension && strcasecmp(name + length - extension, kExtension) == 0;
}

std::string joined(const std::string& folder, const char* name)
{
    return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

// What a walk does with an entry, from readdir's type where it gives one,
// else from lstat: a link is never followed.
char kindOf(const std::string& folder, const dirent* entry)
{
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
        struct stat info;
        if (lstat(joined(folder, entry->d_name).c_str(), &info) != 0) {
            return 0;
        }
        type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_DIR) {
        return kSubfolder;
    }
    return type == DT_REG && hasKevoExtension(entry->d_name) ? kTakenFile : 0;
}

}  // namespace

void kevo_addRunOptions(std::vector<kevo_option>* table, double* waitSeconds,
                        kevo_fileSelection* selection, bool* quiet)
{
    table->insert(
        table->end(),
        {
            {"wait", 0, "SECONDS", KEVO_OPTION_WAIT,
             "wait at most SECONDS for another process's lock\n(default: as long as it takes)",
             nullptr, nullptr, waitSeconds},
            {"recursive", 'r', nullptr, KEVO_OPTION_RECURSIVE,
             "walk each directory among the files for its\n*.kevo files, following no link met "
             "in the walk",
             &selection->recursive},
            {"files-from", 0, "FILE", KEVO_OPTION_FILES_FROM,
             "also take the paths in FILE, one per line\n(- reads standard input)", nullptr,
             &selection->list},
            {"null", '0', nullptr, KEVO_OPTION_NULL,
             "the paths in FILE end at NUL bytes, as\nfind -print0 writes them",
             &selection->nul},
            {"quiet", 'q', nullptr, KEVO_OPTION_QUIET,
             "print no progress and no summary on standard error", quiet},
        });
}

kevo_fileSource::kevo_fileSource(const kevo_fileSelection& selection,
                                 std::vector<const char*> operands, Complaint complain)
    : selection_(selection), operands_(std::move(operands)), complain_(std::move(complain))
{
}

kevo_fileSource::~kevo_fileSource()
{
    if (list_ && list_ != stdin) {
        std::fclose(list_);
    }
    std::free(line_);
}

size_t kevo_fileSource::total() const
{
    return selection_.recursive || selection_.list ? 0 : operands_.size();
}

bool kevo_fileSource::next(std::string* path)
{
    for (;;) {
        if (!folders_.empty()) {
            Folder& folder = folders_.back();
            if (folder.next == folder.starts.size()) {
                folders_.pop_back();
                continue;
            }
            const char* entry = folder.names.data() + folder.starts[folder.next++];
            const std::string child = joined(folder.path, entry + 1);
            if (entry[0] == kSubfolder) {
                openFolder(child);
                continue;
            }
            *path = child;
            return true;
        }
        if (nextOperand_ < operands_.size()) {
            if (take(operands_[nextOperand_++], path)) {
                return true;
            }
            continue;
        }
        std::string listed;
        if (!readListed(&listed)) {
            return false;
        }
        if (take(listed, path)) {
            return true;
        }
    }
}

// A file named is taken as it is, whatever it is; a directory named is
// walked when asked, following a link to it.
bool kevo_fileSource::take(const std::string& path, std::string* file)
{
    struct stat info;
    if (selection_.recursive && stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        openFolder(path);
        return false;
    }
    *file = path;
    return true;
}

void kevo_fileSource::openFolder(const std::string& path)
{
    DIR* folder = opendir(path.c_str());
    if (!folder) {
        complain_(path, errno);
        return;
    }
    Folder walked;
    walked.path = path;
    errno = 0;
    while (const dirent* entry = readdir(folder)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        const char kind = kindOf(path, entry);
        if (kind != 0) {
            walked.starts.push_back(static_cast<uint32_t>(walked.names.size()));
            walked.names += kind;
            walked.names += entry->d_name;
            walked.names += '\0';
        }
    }
    const int error = errno;
    closedir(folder);
    if (error != 0) {
        complain_(path, error);
    }
    const char* names = walked.names.data();
    std::sort(walked.starts.begin(), walked.starts.end(), [names](uint32_t a, uint32_t b) {
        return std::strcmp(names + a + 1, names + b + 1) < 0;
    });
    folders_.push_back(std::move(walked));
}

bool kevo_fileSource::readListed(std::string* path)
{
    if (!selection_.list) {
        return false;
    }
    if (!listOpened_) {
        listOpened_ = true;
        list_ = std::strcmp(selection_.list, "-") == 0 ? stdin : std::fopen(selection_.list, "r");
        if (!list_) {
            complain_(selection_.list, errno);
        }
    }
    const int end = selection_.nul ? '\0' : '\n';
    while (list_) {
        const ssize_t length = getdelim(&line_, &lineCapacity_, end, list_);
        if (length < 0) {
            if (std::ferror(list_)) {
                complain_(selection_.list, errno);
            }
            if (list_ != stdin) {
                std::fclose(list_);
            }
            list_ = nullptr;
            return false;
        }
        size_t size = static_cast<size_t>(length);
        size -= size > 0 && line_[size - 1] == end ? 1 : 0;
        // An empty line names no file.
        if (size > 0) {
            path->assign(line_, size);
            return true;
        }
    }
    return false;
}
