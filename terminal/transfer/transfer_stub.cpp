#include "transfer.h"

void SendFile() {}
void GetFile() {}
void AutoLoadStep() {}
void AskLoadPath() {}
void AskDownloadFileName() {}
void AskMultiFiles() {}
void AskRunArgs() {}
void SendAutoRunLine() {}
void SendRunrLine() {}
void StartAutoLoad(int) {}
void StartMultiLoad() {}
