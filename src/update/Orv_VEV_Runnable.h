// The body of a thread: one operation, Run, called on the new thread.
#ifndef KA_ORV_VEV_RUNNABLE_H
#define KA_ORV_VEV_RUNNABLE_H

namespace Orv::VEV {

class Runnable {
public:
    virtual void Run() = 0;

protected:
    Runnable() = default;
    virtual ~Runnable() = default;
    Runnable(const Runnable&) = default;
    Runnable& operator=(const Runnable&) = default;
};

}  // namespace Orv::VEV

#endif
