// The event fan-out job: moves every event of the main list into the list named by its type.
#pragma once

// Returns 0 on success or a stop, 1 when the settings or the main list cannot be read, -1 when
// the transaction failed.
int redistransfer();
