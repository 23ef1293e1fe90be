// FileObject: owner of one file handle, opened the way the updater's files need
// (shared for reading, exclusive while writing). Failures are return values.
#pragma once
#include <stdint.h>

class FileObject {
  public:
    FileObject();
    ~FileObject();
    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;

    // Both fail on an object that holds an open file, which stays open.
    bool OpenRead(const char* path); // existing file, others may only read it
    bool Create(const char* path);   // truncates or creates, no sharing while open
    // A new file only: fails when anything (a link too) has the name already,
    // and when the file opened is not a plain file with one name. For names
    // in a folder others may write, where a planted link must not be followed.
    bool CreateNew(const char* path);
    // Bytes moved; 0 on failure and at end of file alike.
    uint32_t Read(void* buffer, uint32_t count);
    uint32_t Write(const void* buffer, uint32_t count);
    bool Seek(uint32_t position); // absolute; positions of 2 GiB and above fail
    uint32_t GetSize();           // low 32 bits; 0xFFFFFFFF on failure
    bool Flush();                 // to disk, before a rename makes the bytes count
    void Close();                 // harmless when closed
    bool IsOpen() const { return handle != kInvalidHandle; }

  private:
    static const intptr_t kInvalidHandle = -1; // INVALID_HANDLE_VALUE, or fd -1
    intptr_t handle;                           // HANDLE on Windows, fd elsewhere
};

const uint32_t kInvalidSize = 0xFFFFFFFF;
