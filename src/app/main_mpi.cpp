// gorva-mpi: the gorva program over MPI ranks. Only rank 0 prints and writes
// files; every rank reads the command line so that a bad one stops them all.
#include <mpi.h>

#include "app/run.h"
#include "mpi/mpi_search.h"

int main(int argc, char** argv) {
  MPI_Init(&argc, &argv);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  int status = 0;
  if (!answerHelpRequest(argc, argv, rank == 0)) {
    readOptions(argc, argv);
    if (rank == 0) {
      installDistributedSearch();
      status = runAnalysis();
      releaseWorkers();
    } else {
      status = serveAsWorker();
    }
  }
  MPI_Finalize();
  return status;
}
