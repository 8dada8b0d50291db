# Writes a benchmark package: the setup script qelwls.ini, the list of its
# files (manifest.txt, one relative path a line) and, with data=1, the files
# themselves, each filled with text of its own so that a file copied to the
# wrong name shows up as a difference.
#   awk -v dir=FOLDER -v count=N -v size=BYTES -v folders=F -v data=0|1 -f make-package.awk
# File i (from 1) is d<k>/f<i>.dat, k = the i-th block of count/folders files.
# Every folder is a source disk of its own ([SourceDisksNames] field 4 is the
# sub-folder) and a copy section of its own. The flags 0x4 (NOVERSIONCHECK)
# let the uninstall remove the files again.
function folder_of(i) { return int((i - 1) * folders / count) }
function name_of(i) { return sprintf("f%06d.dat", i) }
BEGIN {
    script = dir "/qelwls.ini"
    manifest = dir "/manifest.txt"
    printf "[Version]\r\nSignature=\"$Windows NT$\"\r\n\r\n" > script
    printf "[Setup]\r\nUninstallLog=%%16422%%\\QelBench\\Uninstall\\qelwls.log\r\n\r\n" > script
    printf "[SourceDisksNames]\r\n" > script
    for (k = 0; k < folders; k++) printf "%d=\"Bench folder %d\",,,d%d\r\n", k + 1, k, k > script
    printf "\r\n[SourceDisksFiles]\r\n" > script
    for (i = 1; i <= count; i++) printf "%s=%d\r\n", name_of(i), folder_of(i) + 1 > script
    printf "\r\n[DestinationDirs]\r\n" > script
    for (k = 0; k < folders; k++) printf "Files%d=16422,\"QelBench\\d%d\"\r\n", k, k > script
    # apponly_install skips the driver package, but the line must be there.
    printf "\r\n[Install]\r\nDriverInf=Driver\\qelwl.inf\r\nCopyFiles=" > script
    for (k = 0; k < folders; k++) printf "%sFiles%d", (k ? "," : ""), k > script
    printf "\r\nUninstallLog=\r\n" > script
    for (k = 0; k < folders; k++) {
        printf "\r\n[Files%d]\r\n", k > script
        for (i = 1; i <= count; i++) if (folder_of(i) == k) printf "%s,,,0x4\r\n", name_of(i) > script
    }
    close(script)

    for (i = 1; i <= count; i++) {
        path = sprintf("d%d/%s", folder_of(i), name_of(i))
        print path > manifest
        if (!data) continue
        # The file's own name and number, repeated to the size.
        unit = sprintf("%s %d\n", path, i)
        text = unit
        while (length(text) < size) text = text text
        file = dir "/" path
        printf "%s", substr(text, 1, size) > file
        close(file)
    }
    close(manifest)
}
