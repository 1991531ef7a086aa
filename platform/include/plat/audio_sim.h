// Driver of the simulated audio endpoints for in-process tests (the environment variables that
// configure the same things are listed in plat/audio.h).
#pragma once

#include "plat/audio.h"

#include <string>
#include <vector>

namespace plat {
namespace audiosim {

// Reads the environment again: endpoints, period, failures and vanishing; the automatic clock.
// Endpoints of before go away (their open streams fail from then on).
void reset();
// Replaces the endpoints (syntax of KBR_AUDIO_SIM_RENDER and KBR_AUDIO_SIM_CAPTURE; an empty list
// means no endpoint of that flow).
void configure(const std::string& render, const std::string& capture);
void setPeriodMs(int ms);
// The smallest render buffer in periods (KBR_AUDIO_SIM_BUFFER_PERIODS, default 4).
void setRenderBufferPeriods(int periods);

// The next count calls named call (on the endpoint named so, or on any when empty) fail with result;
// count < 0: every call.
void failCall(const std::string& call, HRESULT result, int count = -1, const std::string& endpoint = "");
void clearFailures();

// The endpoint goes away now.
void vanish(const std::string& name);

// With the manual clock streams move only when tick is called: each started stream runs one
// device period per tick (the clock advances by one period). With wait, each tick waits (at most
// 2 s) until every stream's reader has served the period (filled the render buffer, drained the
// capture packets); false when one did not.
void setManualClock(bool manual);
bool tick(int periods = 1, bool wait = true);
// Waits (at most timeoutMs) until every stream's reader has served the periods run so far; false
// when one has not.
bool waitIdle(int timeoutMs);
// Waits until at least count streams run on the manual clock; false after timeoutMs.
bool waitStreams(int count, int timeoutMs = 5000);

// Frames the render endpoint's buffer held when its last stream started (-1: none started).
int renderPaddingAtStart(const std::string& renderName);

// The mono samples (-1..1, after the volumes) the render endpoint played since the last call.
std::vector<float> takePlayed(const std::string& renderName);

// WAV files: PCM 8/16/24/32-bit or 32-bit float, any channel count; read as mono.
struct WavData {
    DWORD rate = 0;
    WORD channels = 0;
    std::vector<float> mono;
};
bool parseWav(const BYTE* data, size_t size, WavData& out, std::string* error);
bool readWav(const std::string& path, WavData& out, std::string* error);
// 16-bit PCM mono.
bool writeWav(const std::string& path, DWORD rate, const std::vector<float>& mono);

} // namespace audiosim
} // namespace plat
