// Bounds that hold in every mode, whatever the other side sends.
#pragma once

namespace xmodem {

// Sends of one block by the sender, answers for one block by the receiver,
// whatever their mix of NAKs, repeats and silences: the block that would take
// one more ends the transfer.
constexpr unsigned kBlockBudget = 20;

}  // namespace xmodem
