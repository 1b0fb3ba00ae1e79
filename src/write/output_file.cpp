#include "write/output_file.hpp"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <limits>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/statfs.h>
#endif

namespace arbolite::write {

Result<int, OsError> open_for_writing(std::string_view path, const InterruptHook& interrupt) {
    return open_path(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666, interrupt);
}

namespace {

// The directory that a new file at `path` goes into.
std::string parent_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

uint64_t saturating_mul(uint64_t a, uint64_t b) {
    uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

uint64_t saturating_add(uint64_t a, uint64_t b) {
    uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

// Refuses with ENOSPC (or EFBIG past a file system's own file size limit)
// an output of `size` bytes that cannot fit on the file system holding `at`,
// where replacing the existing file frees `freed` bytes. Free space bounds a
// file's size only where every byte written takes its room, so this applies
// to the local file systems that neither compress nor deduplicate data; on
// the others (and where the numbers are unknown) nothing is refused here.
Status<OsError> check_free_space([[maybe_unused]] const std::string& at, [[maybe_unused]] size_t size,
                                 [[maybe_unused]] uint64_t freed) {
#if defined(__linux__)
    struct statfs fs {};
    if (::statfs(at.c_str(), &fs) != 0) return Ok{};
    constexpr unsigned long ext2_to_4 = 0xEF53, xfs = 0x58465342, tmpfs = 0x01021994, vfat = 0x4d44,
                            exfat = 0x2011BAB0;
    const auto type = static_cast<unsigned long>(fs.f_type);
    if (type != ext2_to_4 && type != xfs && type != tmpfs && type != vfat && type != exfat) return Ok{};
    if (type == vfat && size > 0xFFFFFFFFull) return errno_failure(EFBIG);
    // A tmpfs without a size limit reports no blocks at all.
    if (fs.f_blocks == 0) return Ok{};
    const uint64_t unit = fs.f_frsize != 0 ? static_cast<uint64_t>(fs.f_frsize) : static_cast<uint64_t>(fs.f_bsize);
    if (unit == 0) return Ok{};
    // The superuser may also fill the blocks kept in reserve. Each block an
    // output begins takes a whole one.
    const uint64_t free_units = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
    const uint64_t needed = size / unit + (size % unit != 0);
    if (needed > saturating_add(free_units, freed / unit)) return errno_failure(ENOSPC);
#endif
    return Ok{};
}

}  // namespace

Status<OsError> check_room_for(std::string_view path, size_t size) {
    if (static_cast<uintmax_t>(size) > static_cast<uintmax_t>(std::numeric_limits<off_t>::max()))
        return errno_failure(EFBIG);
    const std::string name(path);
    struct stat existing {};
    const bool replaces = ::stat(name.c_str(), &existing) == 0;
    if (replaces && !S_ISREG(existing.st_mode)) return Ok{};
    if (replaces) {
        ARBOLITE_TRY(check_free_space(name, size, saturating_mul(static_cast<uint64_t>(existing.st_blocks), 512)));
    } else if (struct stat link {}; ::lstat(name.c_str(), &link) != 0) {
        // (A dangling symbolic link makes the file where it points, on a
        // file system unknown here.)
        ARBOLITE_TRY(check_free_space(parent_of(name), size, 0));
    }
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<uintmax_t>(size) > static_cast<uintmax_t>(limit.rlim_cur))
        return errno_failure(EFBIG);
    return Ok{};
}

}  // namespace arbolite::write
