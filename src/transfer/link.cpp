#include "link.h"

namespace transfer {
namespace {

// Line errors in a row that one write goes on after.
constexpr unsigned kWriteRetriesAfterLineErrors = 3;

}  // namespace

LinkRead Link::read(void* buffer, DWORD length) {
    const uint32_t start = tickMs();
    IoResult got = readPort(port, buffer, length);
    if (got.status != IoStatus::Done || got.count > 0) return {got.status, got.count, got.code, false};
    QueueState queue = queryQueue(port);
    if (!queue.ok) return {IoStatus::Failed, 0, queue.code, true};
    // An empty read takes its whole total time-out; one that came back in
    // less than half of it did not wait (a hung-up line can do that).
    const COMMTIMEOUTS timeouts = portTimeouts(port.baudRate, port.frameBits);
    const uint32_t allowed = timeouts.ReadTotalTimeoutMultiplier * length + timeouts.ReadTotalTimeoutConstant;
    if (tickMs() - start < allowed / 2) Sleep(timeouts.ReadTotalTimeoutConstant);
    return {IoStatus::Done, 0, 0, false};
}

Chunk Link::readChunk(uint8_t* buffer, DWORD room, DWORD queued) {
    // A read that a line error broke off leaves the damaged byte in the
    // queue: what the queue holds then is dropped, as it is no data.
    auto dropDamaged = [&]() -> Chunk {
        QueueState queue = queryQueue(port);
        if (!queue.ok) return {IoStatus::Failed, 0, queue.code, true, false};
        for (DWORD left = queue.queued; left > 0;) {
            IoResult scrap = readPort(port, buffer, left < room ? left : room);
            if (scrap.status == IoStatus::Failed) return {IoStatus::Failed, 0, scrap.code, false, false};
            if (scrap.status != IoStatus::Done || scrap.count == 0) break;
            left -= scrap.count < left ? scrap.count : left;
        }
        return {IoStatus::Damaged, 0, 0, false, false};
    };
    const DWORD want = queued == 0 ? 1 : queued < room ? queued : room;
    LinkRead first = read(buffer, want);
    if (first.status == IoStatus::Failed) return {IoStatus::Failed, 0, first.code, first.queryFailed, false};
    if (first.status == IoStatus::Damaged) return dropDamaged();
    Chunk chunk{IoStatus::Done, first.count, 0, false, false};
    if (first.count == 0 || queued > 0) return chunk;
    QueueState behind = queryQueue(port);
    if (!behind.ok) return {IoStatus::Failed, 0, behind.code, true, false};
    chunk.drained = behind.queued == 0;
    if (behind.queued == 0 || room <= chunk.count) return chunk;
    const DWORD rest = room - chunk.count;
    IoResult more = readPort(port, buffer + chunk.count, behind.queued < rest ? behind.queued : rest);
    if (more.status == IoStatus::Failed) return {IoStatus::Failed, 0, more.code, false, false};
    if (more.status == IoStatus::Damaged) {
        Chunk dropped = dropDamaged();
        if (dropped.status == IoStatus::Failed) return dropped;
        return chunk;  // the first byte came before the damage
    }
    chunk.count += more.count;
    return chunk;
}

LinkRead Link::dropUntilQuiet(uint32_t limitMs) {
    uint8_t scrap[256];
    WaitClock clock = WaitClock::onTick(limitMs);
    while (clock.elapsedMs() < limitMs) {
        QueueState queue = queryQueue(port);
        if (!queue.ok) return {IoStatus::Failed, 0, queue.code, true};
        DWORD want = queue.queued == 0 ? 1 : queue.queued < sizeof scrap ? queue.queued : DWORD(sizeof scrap);
        IoResult got = readPort(port, scrap, want);
        if (got.status == IoStatus::Failed) return {IoStatus::Failed, 0, got.code, false};
        if (got.status == IoStatus::Done && got.count == 0) break;
    }
    return {IoStatus::Done, 0, 0, false};
}

IoResult Link::write(const void* bytes, DWORD length) {
    const BYTE* next = static_cast<const BYTE*>(bytes);
    DWORD sent = 0;
    for (unsigned lineErrors = 0;; ++lineErrors) {
        IoResult written = writePort(port, next + sent, length - sent);
        sent += written.count;
        if (written.status != IoStatus::Damaged) return {written.status, sent, written.code};
        if (sent >= length) return {IoStatus::Done, sent, 0};
        if (lineErrors == kWriteRetriesAfterLineErrors) return {IoStatus::Failed, sent, written.code};
    }
}

}  // namespace transfer
