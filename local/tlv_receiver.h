// SPDX-License-Identifier: GPL-2.0-or-later
// The local link receiver: reads every datagram from the partner, checks that it
// is exactly one TLV message and queues it for the dispatcher, which then owns
// it. It never interprets tags. Runs on its own thread until done is set; a poke
// of the stop descriptor wakes its wait. The board, borrowed, counts the
// datagrams it drops.
#pragma once

#include <atomic>
#include <memory>

#include "base/queue.h"

class CUDP;
class StatusBoard;
class TLV_CLASS;

// Returns at once when the link is not open.
void receiveTlvMessages(CUDP& link, Queue<std::unique_ptr<TLV_CLASS>>& queue, int stopFd, const std::atomic<bool>& done,
                        StatusBoard& board);
