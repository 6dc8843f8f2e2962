// What a transport needs of the loop that serves it: its descriptors watched
// or no longer watched.
#pragma once

class CWaitList
{
public:
    virtual ~CWaitList() = default;
    virtual void Watch(int iFD, short sEvents) = 0;
    virtual void Unwatch(int iFD) = 0;
};
