#pragma once

#include <cstddef>

// Writes all of data to fd, going on after interrupted or partial writes.
// False on the first real failure, with errno saying why (EIO when the file
// takes nothing at all); what was written before stays.
bool WriteAll(int fd, const void* data, size_t size);
