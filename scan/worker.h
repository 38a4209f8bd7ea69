// A worker process: a front end started again in worker mode, with its own copy of the library,
// scanning the batches its parent hands it and sending back each result.
#pragma once
#include <string>
#include <vector>

#include "scanner.h"

namespace zm {

// The arguments that start sExecutable as a worker loading sLibrary and scanning as scan says.
std::vector<std::string> WorkerArguments(const std::string& sLibrary, const ScanOptions& scan);

// A front end's main calls this first: when argv asks for worker mode it runs the worker loop to
// its end and answers true with the exit status in *piExit.
bool RunAsWorker(int argc, char** argv, int* piExit);

}  // namespace zm
