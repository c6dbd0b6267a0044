#include "support/FileWrite.h"

#include <unistd.h>

#include <cerrno>

bool WriteAll(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;  // a file that takes nothing would loop forever
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}
