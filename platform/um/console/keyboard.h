// The keyboard's terminal state, shared by the C runtime's keyboard
// functions and the console control dispatcher.
#pragma once

namespace um::console {

// Puts the terminal on standard input back as it was before the first
// keyboard call. Safe to call from any thread, any number of times.
void RestoreKeyboard() noexcept;

}  // namespace um::console
