#include "transfer.h"

void SendFile() {}
int SendBlock() { return -1; }
void MakeFileInfo() {}
void FillDataBlock() {}
void GetFile() {}
int ReceiveBlock(int) { return -1; }
void AutoLoadStep() {}
void AutoLoadWatch() {}
int NamePartOfPath(const char *, char *, int) { return 0; }
int SetLoadPath(const char *) { return -1; }
int UploadNameIsSafe(const char *) { return 0; }
void AskLoadPath() {}
void AskDownloadFileName() {}
void AskMultiFiles() {}
void AskRunArgs() {}
void SendAutoRunLine() {}
void SendRunrLine() {}
void StartAutoLoad(int) {}
void StartMultiLoad() {}
