// The message channel arrives with its own work.
