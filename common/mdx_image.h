// MDX file head scan and the in-memory data image.
#pragma once

#include "run_context.h"

namespace karvo {

// Reads the file head from ctx.fin byte by byte and sets FileBase, VoiceBase and
// MMLBase. Returns the number of tracks the file declares, or -1 when no complete
// head is found within the first 65,535 bytes. Prints one "base" trace line per
// track offset to ctx.sout. The bytes read are kept in ctx.headBytes.
int header(RunContext& ctx);

// Puts the data area (the file from FileBase on) into Ibuf, taking the bytes the
// head scan already read and then the rest of ctx.fin, at most IMAGE_SIZE bytes.
// Returns false when the data area was longer and has been cut.
bool loadImage(RunContext& ctx);

}  // namespace karvo
