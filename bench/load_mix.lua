-- wrk script of bench/load.py: requests the paths listed in a file in turn (the last one the
-- unlisted path), and counts replies by status. The unlisted path's replies are told apart by
-- the file name that the agent puts in Content-Disposition (as it does for a 404 too), since
-- wrk does not say which request a reply answers.
local threads = {}
function setup(thread) table.insert(threads, thread) end

function init(args)
    paths = {}
    for line in io.lines(args[1]) do table.insert(paths, line) end
    unlisted_name = 'filename="' .. args[2] .. '"'
    n = 0
    unlisted_sent, listed_200, listed_other, unlisted_404, unlisted_other, unknown = 0, 0, 0, 0, 0, 0
end

function request()
    n = n % #paths + 1
    if n == #paths then unlisted_sent = unlisted_sent + 1 end
    return wrk.format("GET", paths[n])
end

function response(status, headers, body)
    local cd = headers["Content-Disposition"]
    if cd == nil then
        unknown = unknown + 1
    elseif string.find(cd, unlisted_name, 1, true) then
        if status == 404 then unlisted_404 = unlisted_404 + 1 else unlisted_other = unlisted_other + 1 end
    elseif status == 200 then
        listed_200 = listed_200 + 1
    else
        listed_other = listed_other + 1
    end
end

function done(summary, latency, requests)
    local names = {"unlisted_sent", "listed_200", "listed_other", "unlisted_404", "unlisted_other", "unknown"}
    local line = "mix:"
    for _, name in ipairs(names) do
        local total = 0
        for _, t in ipairs(threads) do total = total + t:get(name) end
        line = line .. " " .. name .. "=" .. total
    end
    print(line)
end
