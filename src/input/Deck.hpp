#pragma once

#include "input/Reader.hpp"
#include "model/Model.hpp"
#include "output/OutputStreams.hpp"

namespace quarno {

// Reads crparam.txt and then crbicond.txt, checks every value as soon as it
// has been read, and echoes each block into the results file as it goes; ends
// the echo with the forcing file's block when the model holds one (m.forcing,
// read beforehand) and the RESULTS banner, and writes the head of the
// observation file. Applies the end-time rule to the output times. Throws InputError on
// bad input, leaving the echo written so far in the results file.
void read_deck(Model& m, Reader& param, Reader& bicond, Outputs& out);

}  // namespace quarno
