#ifndef VXUPLOADEXITCODES_H
#define VXUPLOADEXITCODES_H

// Exit status of vxupload, as documented in its --help.
namespace VXExit {

enum Code : int {
    Success = 0,      // every job reported success
    JobFailed = 1,    // at least one job failed, or the --timeout guard stopped the run
    Usage = 2,        // bad command line or jobs file, plugin not loadable
    Interrupted = 130 // SIGINT or SIGTERM: unfinished jobs were stopped
};

} // namespace VXExit

#endif // VXUPLOADEXITCODES_H
