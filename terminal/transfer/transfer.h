// Controller file transfer: the download and upload block protocols and the
// download-and-run sequences.
#pragma once

// Runs on the main thread (the receive loop calls them).
void SendFile();
void GetFile();
void AutoLoadStep();

// Prompts and hotkey actions, run on the keyboard thread.
void AskLoadPath();
void AskDownloadFileName();   // F2
void AskMultiFiles();         // ALT_F2
void AskRunArgs();            // F6
void SendAutoRunLine();       // F5
void SendRunrLine();          // ALT_F5
void StartAutoLoad(int code); // F8, F9, F10, ALT_F10
void StartMultiLoad();        // ALT_F9
