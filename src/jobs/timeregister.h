// The retention job: trims the configured lists to the events within valid_duration hours.
#pragma once

// Returns 0 when the run ends normally, 1 when the settings file cannot be read or parsed.
int timeregister();
