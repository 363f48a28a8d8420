// A full disk, as far as one process can tell: RLIMIT_FSIZE lowered, so a write past the limit
// fails with EFBIG (SIGXFSZ must be ignored). The limit in force before comes back on destruction.
#pragma once

#include <sys/resource.h>

class FileSizeLimit {
  public:
    FileSizeLimit() { getrlimit(RLIMIT_FSIZE, &saved_); }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;
    void arm(rlim_t bytes) {
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }

  private:
    rlimit saved_{};
};
