# Sourced by the fixtures and the package test. The servers and the tools
# that set them up (cupsd, lpadmin, lpinfo, pgbouncer, runuser, ldconfig)
# lie in /usr/sbin and /sbin, which are not on an ordinary user's PATH:
# "command -v" would call an installed program missing. Appended, so that
# whatever the caller's PATH finds first still wins.
case ":$PATH:" in *:/usr/sbin:*) ;; *) PATH="$PATH:/usr/sbin" ;; esac
case ":$PATH:" in *:/sbin:*) ;; *) PATH="$PATH:/sbin" ;; esac
