// The keyboard thread and the hotkey table.
#pragma once

#include <atomic>

void StartKeyThread();
void KeyThreadMain();
void HandleKey(int code);
void DispatchHotkey(int code);

// Set while the keyboard thread runs; the main thread waits a moment for
// it at the end so that the process ends with one thread.
extern std::atomic<int> KeyThreadRunning;
