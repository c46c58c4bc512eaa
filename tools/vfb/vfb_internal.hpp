// What the framebuffer device (vfb.cpp) and the DRM node (vfb_drm.cpp) share.
#pragma once

#include "vfb.hpp"

#include <dlfcn.h>
#include <sys/types.h>

#include <cstddef>

namespace zr_vfb::detail {

// The next definition of a libc function, past the ones here.
template <class F>
F next(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

const char *env_or(const char *name, const char *fallback);
// Whether item is one of the entries of list, which are separated by sep.
bool listed(const char *list, char sep, const char *item);
// Whether ZR_VFB_FAIL names what.
bool failing(const char *what);

// Copies between the caller's memory and ours as the kernel does: false
// (the ioctl fails with EFAULT) when either side is not mapped as needed.
bool copy_in(void *to, const void *from_user, std::size_t n);
bool copy_out(void *to_user, const void *from, std::size_t n);

// The real libc calls, never the wrappers here.
int real_close(int fd);
void *real_mmap(void *addr, std::size_t length, int prot, int flags, int fd, off_t offset);
int real_open(const char *path, int flags, mode_t mode);

// Records where the picture is (after telling on_screen_change).
void set_screen(const screen &s);

// ---- the DRM node (vfb_drm.cpp) ----
bool drm_is_path(const char *path);
int drm_open(int flags);
bool drm_owns(int fd);
int drm_ioctl(int fd, unsigned long request, void *arg);
void *drm_mmap(void *addr, std::size_t length, int prot, int flags, int fd, long long offset);
ssize_t drm_read(int fd, void *buf, std::size_t count);
void drm_close(int fd);
bool drm_any_open();
// Completes the flips that are due; the nanoseconds (CLOCK_MONOTONIC) when
// the next one is due, or -1 when none is on its way.
long long drm_settle();

}  // namespace zr_vfb::detail
