// Walks the list of running applications one process serial number at a time and answers
// questions about the current one.
#ifndef KA_PROCESS_H
#define KA_PROCESS_H

#include <Carbon/Carbon.h>

// The platform's "no process": a walk from here starts at the first process of the list.
// It is not the program's own process (GetMyProcessID gives that one).
extern const ProcessSerialNumber kMyProcess;

class TProcess {
  public:
    explicit TProcess(ProcessSerialNumber theNum);
    virtual ~TProcess();

    virtual Boolean KillApplication(ProcessSerialNumber* thePSN);
    virtual SInt16 GetNumProcesses();
    virtual ProcessInfoRec GetProcessInfoRec();
    virtual UInt32 GetProcessSize();
    virtual UInt32 GetFreeMem();
    virtual UInt32 GetLaunchDate();
    virtual Boolean FindProcess(UInt32 signature);
    virtual ProcessSerialNumber GetMyProcessID() const;
    virtual ProcessSerialNumber GetProcessID() const;
    virtual void Next();
    virtual Boolean Last();
    virtual void First();

  protected:
    virtual Boolean IProcess();

  private:
    void TakeFirstStep();

    ProcessSerialNumber fProcessID;
    ProcessSerialNumber fMyProcessID;
    ProcessSerialNumber fFirstPSN;
    Boolean fFirstTime;  // true until the walk's first step is taken
    Boolean fLast;
    Boolean fState;
    OSErr fError;
};

#endif
