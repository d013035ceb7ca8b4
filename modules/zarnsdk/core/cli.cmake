# The tool's support pieces: target zarn_cli_support (cli request/response, zrc_fs, zrc_text).
