// Bundled YARA rules. Text patterns are written as hex so that this file
// does not match its own rules when it lies inside a scanned tree.
// Users add *.yar files in <data dir>/rules/.

rule EICAR_Test_File
{
    meta:
        severity = "high"
        description = "EICAR anti-virus test file"
    strings:
        $eicar = { 58 35 4F 21 50 25 40 41 50 5B 34 5C 50 5A 58 35 34 28 50 5E 29 37 43 43 29 37 7D 24 45 49 43 41 52 2D 53 54 41 4E 44 41 52 44 2D 41 4E 54 49 56 49 52 55 53 2D 54 45 53 54 2D 46 49 4C 45 21 24 48 2B 48 2A }
    condition:
        $eicar at 0 and filesize < 256
}

rule Reverse_Shell_OneLiner
{
    meta:
        severity = "high"
        description = "Reverse-shell one-liner in a script"
    strings:
        $devtcp = { 2F 64 65 76 2F 74 63 70 2F }
        $redir1 = { 30 3E 26 31 }
        $redir2 = { 3E 26 20 2F 64 65 76 2F 74 63 70 2F }
        $nc_e1 = { 6E 63 20 2D 65 20 2F 62 69 6E 2F 73 68 }
        $nc_e2 = { 6E 63 20 2D 65 20 2F 62 69 6E 2F 62 61 73 68 }
        $ncat_e = { 6E 63 61 74 20 2D 65 20 2F 62 69 6E 2F }
        $fifo = { 6D 6B 66 69 66 6F 20 2F 74 6D 70 2F }
        $fifo_nc = { 7C 20 6E 63 20 }
        $py_dup2 = { 6F 73 2E 64 75 70 32 28 73 2E 66 69 6C 65 6E 6F 28 29 2C 30 29 }
        $py_pty = { 70 74 79 2E 73 70 61 77 6E 28 }
        $py_sock = { 73 6F 63 6B 65 74 2E 73 6F 63 6B 65 74 28 }
        $pl_sock = { 75 73 65 20 53 6F 63 6B 65 74 3B }
        $pl_exec = { 65 78 65 63 28 22 2F 62 69 6E 2F 73 68 }
    condition:
        filesize < 1MB and (
            ($devtcp and ($redir1 or $redir2)) or
            $nc_e1 or $nc_e2 or $ncat_e or
            ($fifo and $fifo_nc) or
            ($py_sock and ($py_dup2 or $py_pty)) or
            ($pl_sock and $pl_exec)
        )
}

rule Crypto_Miner_Pool
{
    meta:
        severity = "medium"
        description = "Crypto-currency miner pool configuration or command line"
    strings:
        $stratum_tcp = { 73 74 72 61 74 75 6D 2B 74 63 70 3A 2F 2F }
        $stratum_ssl = { 73 74 72 61 74 75 6D 2B 73 73 6C 3A 2F 2F }
        $stratum2 = { 73 74 72 61 74 75 6D 32 2B 74 63 70 3A 2F 2F }
        $donate = { 2D 2D 64 6F 6E 61 74 65 2D 6C 65 76 65 6C }
        $xmrig = { 78 6D 72 69 67 }
        $pool1 = { 73 75 70 70 6F 72 74 78 6D 72 2E 63 6F 6D }
        $pool2 = { 6E 61 6E 6F 70 6F 6F 6C 2E 6F 72 67 }
        $pool3 = { 6D 69 6E 65 78 6D 72 2E 63 6F 6D }
    condition:
        any of ($stratum*) or ($donate and $xmrig) or (any of ($pool*) and $xmrig)
}

rule Download_And_Pipe_To_Shell_Persistence
{
    meta:
        severity = "medium"
        description = "Script downloads code into a temporary directory, makes it executable and runs it"
    strings:
        $dl1 = { 63 75 72 6C 20 }
        $dl2 = { 77 67 65 74 20 }
        $tmp1 = { 2F 74 6D 70 2F 2E }
        $tmp2 = { 2F 64 65 76 2F 73 68 6D 2F }
        $chmod = { 63 68 6D 6F 64 20 2B 78 }
        $cron = { 63 72 6F 6E 74 61 62 }
    condition:
        filesize < 256KB and any of ($dl*) and any of ($tmp*) and $chmod and $cron
}
