// Gain for 16-bit PCM, shared by the send and the play path.
#pragma once

// Scales the whole 16-bit samples of `pcm` in place by `gain`, truncating toward zero and
// clipping to the 16-bit range. A negative gain or exactly 1.0 leaves the block untouched.
void scaleVolume(unsigned char* pcm, unsigned int size, float gain);
