// The audio devices of the engine: microphone capture and speaker playback with one
// stream per speaker. Owned by the media engine.
#pragma once

class CAudioDevice {};
