#include "msp/channel_playback.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

#include "core/log.h"
#include "msp/comcerto_channel.h"
#include "msp/function_codes.h"
#include "platform/paths.h"

namespace {

constexpr uint16_t CNF_ERR_HAS_NOT_HANDLER = 0x0171;   // the play buffer was stopped under the block
constexpr size_t PLAY_HEADER = 20;
constexpr int CHANNEL_MODE_PLAY = 2;

int open_sound(int timeslot, const char* path)
{
    int fd = open(platform_path(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        LOG(LOGF_GENERAL, 3, "ts %d: cannot open %s: %s", timeslot, path, strerror(errno));
    return fd;
}

ssize_t read_block(int fd, uint8_t* buffer)
{
    ssize_t n;
    do
        n = read(fd, buffer, MSP_PLAY_BLOCK);
    while (n < 0 && errno == EINTR);
    return n;
}

void play_file_callback(const uint8_t* response, int length, void* channel)
{
    static_cast<ComcertoChannel*>(channel)->playFileCallback(response, length);
}

// Common to playFile and playFileList once the first file is open.
int start_playback(ComcertoChannel& ch, int fd, int mode, bool loop, const char* const* next)
{
    // The play buffer belongs to a plain voice connection; an SRTP one is
    // replaced for hold music.
    if (ch.timeslot < 1000) {
        bool recreate = ch.channelId < 0 || ch.connectionType != MSP_CONN_VOICE;
        // Only a positive answer counts: a failed query is no SRTP.
        if (!recreate && mode == 1)
            recreate = ch.getSrtpState() > 0;
        if (recreate) {
            ch.rtp.srtp_local_key.clear();
            ch.createConnection(MSP_CONN_VOICE, true);
        }
    }
    if (ch.connectionType != MSP_CONN_VOICE) {
        close(fd);
        return -1;
    }
    int result = ch.setChannelMode(CHANNEL_MODE_PLAY, static_cast<unsigned>(mode));
    if (result != 0) {
        close(fd);
        return result;
    }
    ch.playFd = fd;
    ch.playLoop = loop;
    ch.playList = next;
    ch.playing = true;
    ch.playNextBuffer();
    return 0;
}

}  // namespace

MspMessage msp_play_block_message(uint32_t offset, const uint8_t* data, size_t n)
{
    if (n > MSP_PLAY_BLOCK)
        throw std::length_error("msp_play_block_message: block too long");
    MspMessage m(MSP_CLASS_COMMAND, MSP_TYPE_CHANNEL, FC_SYNCEOF, PLAY_HEADER - MSP_HEADER_SIZE + n);
    m.u16(12, static_cast<uint16_t>(offset)).u16(14, static_cast<uint16_t>(offset >> 16)).u16(16, 1);
    m.u16(18, static_cast<uint16_t>(n));
    if (n)
        m.bytes(PLAY_HEADER, data, n);
    return m;
}

int ComcertoChannel::playFile(const char* path, int mode, bool loop)
{
    if (playing)
        stopPlayback();
    int fd = open_sound(timeslot, path);
    if (fd < 0)
        return -1;
    return start_playback(*this, fd, mode, loop, nullptr);
}

int ComcertoChannel::playFileList(const char* const* paths, int mode, bool loop)
{
    if (playing)
        stopPlayback();
    if (!paths || !paths[0] || !paths[0][0])
        return -1;
    int fd = open_sound(timeslot, paths[0]);
    if (fd < 0)
        return -1;
    return start_playback(*this, fd, mode, loop, paths + 1);
}

void ComcertoChannel::playNextBuffer()
{
    uint8_t block[MSP_PLAY_BLOCK];
    ssize_t n = read_block(playFd, block);
    if (n == 0) {
        if (playLoop) {
            if (lseek(playFd, 0, SEEK_SET) < 0) {
                LOG(LOGF_GENERAL, 3, "ts %d: cannot seek sound file: %s", timeslot, strerror(errno));
                drainPlayRecBuffer();
                return;
            }
        } else {
            if (!playList || !*playList) {
                drainPlayRecBuffer();
                return;
            }
            close(playFd);
            playFd = open_sound(timeslot, *playList);
            if (playFd < 0) {
                drainPlayRecBuffer();
                return;
            }
            ++playList;
        }
        n = read_block(playFd, block);
        // Looping over an empty file would spin for ever.
        if (n == 0) {
            LOG(LOGF_GENERAL, 3, "ts %d: cannot read sound file: zero length file?", timeslot);
            drainPlayRecBuffer();
            return;
        }
    }
    if (n < 0) {
        LOG(LOGF_GENERAL, 3, "ts %d: cannot read sound file: %s", timeslot, strerror(errno));
        drainPlayRecBuffer();
        return;
    }
    MspMessage m = msp_play_block_message(playOffset, block, static_cast<size_t>(n));
    int id = PassThruAsync(m.data(), m.size(), play_file_callback, this);
    // Unsigned: after 2^32 bytes (some 149 hours) the MSP's two halves wrap to 0.
    playOffset += static_cast<uint32_t>(n);
    if (id < 0) {
        LOG(LOGF_GENERAL, 3, "ts %u: PassThru() failed", static_cast<unsigned>(timeslot));
        drainPlayRecBuffer();
        return;
    }
    playTransaction = id;
}

void ComcertoChannel::playFileCallback(const uint8_t* response, int length)
{
    // Only the answer to the block in flight moves the pump on: an answer to
    // a block of a playback stopped since then is left alone.
    if (playTransaction < 0 || msp_message_transaction_id(response) != static_cast<uint32_t>(playTransaction))
        return;
    playTransaction = -1;
    if (length < 10 || response[0] < 10 || response[2] != MSP_CLASS_RESPONSE)
        LOG(LOGF_GENERAL, 3, "ts %u: playFileCallback(): invalid response", static_cast<unsigned>(timeslot));
    // Without a status word there is nothing to go on with.
    uint16_t status = length >= 10 ? msp_get_u16(response, 8) : 0xFFFF;
    if (status != 0) {
        if (status != CNF_ERR_HAS_NOT_HANDLER && length >= 10)
            LOG(LOGF_GENERAL, 3, "ts %u: playFileCallback(): error 0x%04x", static_cast<unsigned>(timeslot), status);
        if (playing)
            stopPlayback();
        return;
    }
    if (playing)
        playNextBuffer();
}

void ComcertoChannel::stopPlayback()
{
    playing = false;
    playList = nullptr;
    asStop();
    if (playFd >= 0)
        close(playFd);
    playFd = -1;
    if (hasVoiceConnection())
        setChannelMode(0, 1);
}

void ComcertoChannel::stopPlaybackIfActive()
{
    if (playing)
        stopPlayback();
}
