#pragma once

namespace quarno {

// The main program: runs the model on crparam.txt and crbicond.txt of the
// working directory and returns the exit status (0 success, 1 bad input,
// 2 numerical failure, 130/143 interrupted).
int Quarno();

}  // namespace quarno
