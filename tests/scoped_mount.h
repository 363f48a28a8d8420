// A file system mounted for one scope, in a mount namespace private to the test process: nothing a
// test mounts shows to other processes or outlives it. Mounting needs root (CAP_SYS_ADMIN); where
// it is not allowed, error() says why and the test skips.
#pragma once

#include <cerrno>
#include <string>

#include <sched.h>
#include <sys/mount.h>

namespace test_files {

// Takes the process into a mount namespace of its own, once. Returns 0 or an errno value.
inline int private_mount_namespace() {
    static int error = -1;
    if (error < 0) {
        error = 0;
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            error = errno;
    }
    return error;
}

class ScopedMount {
  public:
    ScopedMount(const std::string &target, const char *source, const char *type,
                unsigned long flags, const std::string &options)
        : target_(target) {
        error_ = private_mount_namespace();
        if (error_ == 0 && mount(source, target.c_str(), type, flags,
                                 options.empty() ? nullptr : options.c_str()) != 0)
            error_ = errno;
    }
    ~ScopedMount() {
        if (error_ == 0)
            umount2(target_.c_str(), MNT_DETACH);
    }
    ScopedMount(const ScopedMount &) = delete;
    ScopedMount &operator=(const ScopedMount &) = delete;
    int error() const { return error_; }

  private:
    std::string target_;
    int error_ = 0;
};

} // namespace test_files
