"""Benchmarks of bxfr against curl, lftp, rclone and OpenSSH's sftp; bench/run is the entry point."""
