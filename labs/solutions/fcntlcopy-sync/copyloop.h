#pragma once

// Copies standard input to fd, 512 bytes at most per read and one write
// per read, then ends the process: status 0 at end of input, 1 after a
// read or write failure. At end of input fd is closed first if closeatend.
[[noreturn]] void copyloop(int fd, bool closeatend);
