// gorva-mpi: the gorva program over MPI ranks. Only rank 0 prints and writes
// files; every rank reads the command line so that a bad one stops them all.
#include <fcntl.h>
#include <mpi.h>
#include <unistd.h>

#include "app/options.h"
#include "app/run.h"
#include "app/tfmmdr.h"
#include "io/messages.h"
#include "mpi/mpi_search.h"

int main(int argc, char** argv) {
  holdClosedStandardStreams();  // before MPI opens its own descriptors
  MPI_Init(&argc, &argv);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  int status = 0;
  if (!answerHelpRequest(argc, argv, rank == 0)) {
    // Every rank reads the same command line and stops on the same error;
    // rank 0 alone says so.
    const int saved_stderr = rank == 0 ? -1 : dup(STDERR_FILENO);
    const int null_device = rank == 0 ? -1 : open("/dev/null", O_WRONLY);
    if (null_device >= 0) dup2(null_device, STDERR_FILENO);
    readOptions(argc, argv);
    if (saved_stderr >= 0) dup2(saved_stderr, STDERR_FILENO);
    if (null_device >= 0) close(null_device);
    if (saved_stderr >= 0) close(saved_stderr);
    if (!opt::max_p.empty()) {
      // The ranks would have to send every listed row back; not carried.
      if (rank == 0) printRefusal("--max-p: not available in gorva-mpi (run gorva for the listing)");
      status = kExitBadInput;
    } else if (rank == 0) {
      status = runAnalysis(distributedOrderSearch);
      releaseWorkers();
    } else {
      status = serveAsWorker();
    }
  }
  MPI_Finalize();
  return status;
}
