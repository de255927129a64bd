// The operator console's script: one file for every page; the page's path
// picks the view. It talks to the admin API with the session cookie and
// sends the session's CSRF token with every POST. Text from machines only
// ever goes into the page as text (textContent), never as HTML.
'use strict';

const LAST = '9223372036854775807';  // an "after" that lists no event, only last_seq
const params = new URLSearchParams(location.search);
let csrf = '';

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === 'text') e.textContent = v;
    else if (k === 'class') e.className = v;
    else if (k.startsWith('on')) e.addEventListener(k.slice(2), v);
    else e.setAttribute(k, v);
  }
  for (const c of children) if (c !== null && c !== undefined) e.append(c);
  return e;
}

function status(text, error) {
  const s = document.getElementById('status');
  s.textContent = text || '';
  s.className = error ? 'err' : '';
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const enc = encodeURIComponent;

async function api(method, path, body) {
  const opt = {method, headers: {}, credentials: 'same-origin'};
  if (method !== 'GET') {
    opt.headers['X-CSRF-Token'] = csrf;
    opt.headers['Content-Type'] = 'application/json';
    opt.body = JSON.stringify(body || {});
  }
  const r = await fetch(path, opt);
  if (r.status === 401) {
    location.href = '/login';
    throw new Error('login needed');
  }
  const j = await r.json().catch(() => ({}));
  if (!r.ok) throw new Error(j.error || 'HTTP ' + r.status);
  return j;
}

const send = (machine, e, d) => api('POST', '/api/send', {machine_id: machine, e, d: d || {}});

// Runs an action from a button, showing its failure in the status line.
function act(fn) {
  return async (ev) => {
    if (ev) ev.preventDefault();
    try {
      status('');
      await fn(ev);
    } catch (err) {
      status(err.message, true);
    }
  };
}

function bytes(n) {
  if (!(n >= 0)) return '?';
  const units = ['B', 'KB', 'MB', 'GB', 'TB'];
  let i = 0;
  while (n >= 1024 && i < units.length - 1) {
    n /= 1024;
    i++;
  }
  return i ? n.toFixed(1) + ' ' + units[i] : n + ' B';
}

function utc(unix) {
  return unix ? new Date(unix * 1000).toISOString().replace('T', ' ').slice(0, 19) + ' UTC' : 'never';
}

function duration(s) {
  if (!isFinite(s) || s < 0) return '?';
  s = Math.round(s);
  return s >= 3600 ? Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min'
       : s >= 60 ? Math.floor(s / 60) + ' min ' + (s % 60) + ' s' : s + ' s';
}

function table(head, rows) {
  return el('div', {class: 'wide'},
            el('table', {}, el('thead', {}, el('tr', {}, ...head.map((h) => el('th', {text: h})))),
               el('tbody', {}, ...rows)));
}

function row(...cells) {
  return el('tr', {}, ...cells.map((c) => (c instanceof Node ? el('td', {}, c) : el('td', {text: String(c)}))));
}

// The machine's events from after `after` on, one long poll after another,
// each handed to on(name, data, seq).
async function follow(machine, after, on) {
  for (;;) {
    try {
      const r = await api('GET', `/api/events?machine_id=${enc(machine)}&after=${after}&wait=20`);
      for (const ev of r.events) {
        after = Math.max(after, ev.seq);
        on(ev.e, ev.d, ev.seq);
      }
    } catch (err) {
      status(err.message, true);
      await sleep(2000);
    }
  }
}

async function lastSeq(machine) {
  return (await api('GET', `/api/events?machine_id=${enc(machine)}&after=${LAST}`)).last_seq;
}

// Every stored event of the machine, page by page.
async function allEvents(machine, on) {
  let after = 0;
  for (;;) {
    const r = await api('GET', `/api/events?machine_id=${enc(machine)}&after=${after}`);
    for (const ev of r.events) {
      after = ev.seq;
      on(ev.e, ev.d, ev.seq);
    }
    if (!r.more) return after;
  }
}

function machineLinks(id) {
  for (const [nav, page] of [['nav-jobs', 'jobs'], ['nav-events', 'events'], ['nav-gallery', 'gallery']])
    document.getElementById(nav).href = `/console/${page}?id=${enc(id)}`;
}

// ---- machines ----

async function machinesView(main) {
  const body = el('tbody');
  main.replaceChildren(el('h1', {text: 'Machines'}),
                       el('div', {class: 'wide'}, el('table', {id: 'machines'},
                          el('thead', {}, el('tr', {}, ...['State', 'Host name', 'Owner', 'Platform', 'Version',
                                                           'Last seen', ''].map((h) => el('th', {text: h})))),
                          body)));
  const revoke = (m) => act(async () => {
    if (!confirm(`Revoke ${m.hostname} (${m.machine_id})? It can no longer connect until re-approved.`)) return;
    await api('POST', '/api/revoke', {machine_id: m.machine_id});
    await refresh();
  });
  function show(r) {
    body.replaceChildren(...r.machines.map((m) => {
      const state = m.revoked ? 'revoked' : m.online ? 'online' : 'offline';
      const tr = row(el('span', {class: m.online && !m.revoked ? 'on' : m.revoked ? 'err' : 'off', text: state}),
                     el('a', {href: `/console/machine?id=${enc(m.machine_id)}`, text: m.hostname || m.machine_id}),
                     m.user, m.platform, m.version, utc(m.last_seen),
                     m.revoked ? '' : el('button', {type: 'button', onclick: revoke(m), text: 'Revoke'}));
      tr.dataset.machine = m.machine_id;
      tr.dataset.state = state;
      return tr;
    }));
    if (!r.machines.length) body.replaceChildren(el('tr', {}, el('td', {colspan: '7', text: 'No machine is linked yet.'})));
  }
  const refresh = async () => show(await api('GET', '/api/machines'));
  // The server pushes the list whenever a machine connects, drops or is
  // revoked. While the stream is down (the browser retries it by itself),
  // a slow poll keeps the list from going stale.
  const stream = new EventSource('/console/api/machines/stream');
  stream.addEventListener('machines', (ev) => {
    status('');
    show(JSON.parse(ev.data));
  });
  for (;;) {
    await sleep(15000);
    if (stream.readyState !== EventSource.OPEN) await refresh().catch((err) => status(err.message, true));
  }
}

// ---- one machine ----

async function machineView(main) {
  const id = params.get('id') || '';
  machineLinks(id);
  const r = await api('GET', '/api/machines');
  const m = r.machines.find((x) => x.machine_id === id);
  if (!m) {
    main.replaceChildren(el('p', {class: 'err', text: 'Unknown machine.'}));
    return;
  }
  const partSize = el('select', {id: 'part-size'}, ...[1, 10, 100, 500, 1000].map(
      (n) => el('option', {value: String(n), text: n + ' MiB'})));
  partSize.value = '500';
  const resume = el('input', {type: 'number', min: '1', id: 'resume-part', placeholder: 'part'});
  const chunk = el('select', {id: 'chunk-size'}, ...[4, 16, 64].map((n) => el('option', {value: String(n), text: n + ' MiB'})));
  chunk.value = '64';
  const disks = el('div', {id: 'disks'}, el('p', {text: 'Asking the machine\u2026'}));
  const drives = el('div', {id: 'drives'});
  const crumbs = el('p', {class: 'crumbs', id: 'crumbs'});
  const listing = el('div', {id: 'listing'});
  const pathInput = el('input', {id: 'path', size: '40', value: '/'});
  const droneState = el('p', {id: 'drone-state', text: 'No drone status yet.'});
  const droneHex = el('p', {class: 'hex', id: 'drone-rx', text: '(nothing received)'});
  const note = el('p', {id: 'machine-note'});

  const goJobs = () => { location.href = `/console/jobs?id=${enc(id)}`; };
  const startImage = (source, d) => act(async () => {
    const mb = Number(partSize.value);
    const from = Number(resume.value || 0);
    let image;
    if (from > 0) {
      const list = await api('GET', `/api/images?machine_id=${enc(id)}&source=${enc(source)}`);
      image = list.images.find((i) => i.status === 'receiving');
      if (!image) throw new Error('no unfinished image of ' + source + ' to resume');
      d.start_part_number = from;
      d.start_offset_gb = (from - 1) * (image.part_size / 1073741824);
      d.existing_disk_id = image.disk_id;
      d.part_size_mb = image.part_size / 1048576;
    } else {
      image = (await api('POST', '/api/images', {machine_id: id, source, part_size_mb: mb})).image;
      d.part_size_mb = mb;
    }
    d.token = image.token;
    d.server_url = location.origin;
    await send(id, 'file_path' in d ? 'upload_local_file' : 'start_imaging', d);
    goJobs();
  });
  const startScan = (source, d) => act(async () => {
    const scan = (await api('POST', '/api/scans', {machine_id: id, source})).scan;
    Object.assign(d, {scan_id: scan.scan_id, upload_token: scan.token, server_url: location.origin,
                      chunk_size: Number(chunk.value) * 1048576});
    await send(id, 'stream_disk_chunks', d);
    goJobs();
  });

  function showDisks(d) {
    disks.replaceChildren(table(['Disk', 'Model', 'Size', 'Bus', 'Removable', ''], (d.disks || []).map((k) => row(
        String(k.id), k.model, k.size_str || bytes(k.size), k.bus_type, k.removable ? 'yes' : 'no',
        el('span', {}, el('button', {type: 'button', onclick: startImage('disk:' + k.id, {disk_id: k.id}), text: 'Image'}),
           el('button', {type: 'button', onclick: startScan('disk:' + k.id, {disk_id: k.id}), text: 'Scan'}))))));
    if (!(d.disks || []).length) disks.replaceChildren(el('p', {text: 'The machine lists no disk.'}));
  }
  function showDrives(d) {
    drives.replaceChildren(table(['Drive', 'Label', ''], (d.drives || []).map((v) => row(
        v.letter, v.label, el('button', {type: 'button', onclick: act(() => browse(v.path)), text: 'Browse'})))));
  }
  async function browse(path) {
    pathInput.value = path;
    await send(id, 'list_directories', {path, include_files: true});
  }
  function join(dir, name) {
    const sep = dir.includes('\\') && !dir.includes('/') ? '\\' : '/';
    return dir.endsWith(sep) ? dir + name : dir + sep + name;
  }
  function showListing(d) {
    const path = d.path || '';
    pathInput.value = path;
    // Breadcrumbs: one button per folder on the way down.
    const sep = path.includes('\\') && !path.includes('/') ? '\\' : '/';
    const parts = path.split(sep).filter((p) => p);
    const trail = [];
    let at = path.startsWith(sep) ? sep : '';
    trail.push(el('button', {type: 'button', onclick: act(() => browse(at || parts[0] + sep)), text: at || parts[0] || '/'}));
    parts.forEach((p, i) => {
      if (i === 0 && !path.startsWith(sep)) { at = p + sep; return; }
      at = join(at, p);
      const target = at;
      trail.push(' ', sep, ' ', el('button', {type: 'button', onclick: act(() => browse(target)), text: p}));
    });
    crumbs.replaceChildren(...trail);
    if (d.error) {
      listing.replaceChildren(el('p', {class: 'err', text: d.error}));
      return;
    }
    const rows = [];
    for (const dir of d.dirs || [])
      rows.push(row(el('button', {type: 'button', class: 'dir', onclick: act(() => browse(join(path, dir.name))),
                                 text: dir.name + '/'}), '', ''));
    for (const f of d.files || []) {
      const full = join(path, f.name);
      const tr = row(f.name, bytes(f.size),
                     el('span', {}, el('button', {type: 'button', class: 'image-file', onclick: startImage('file:' + full, {file_path: full}),
                                                  text: 'Image'}),
                        el('button', {type: 'button', class: 'scan-file', onclick: startScan('path:' + full, {disk_path: full}),
                                      text: 'Scan'})));
      tr.dataset.file = f.name;
      rows.push(tr);
    }
    listing.replaceChildren(table(['Name', 'Size', ''], rows));
  }

  // Downloads and updates hand the machine files of the server's files
  // folder, each through a token that opens only those files.
  const files = el('select', {id: 'server-files', multiple: 'multiple', size: '4'});
  const installer = el('select', {id: 'installer'});
  const folder = el('input', {id: 'download-folder', size: '30', placeholder: 'folder on the machine'});
  const version = el('input', {id: 'update-version', size: '8', placeholder: 'version'});
  const transfer = el('p', {id: 'transfer-state'});
  async function loadFiles() {
    const r = await api('GET', '/console/api/files');
    const opts = () => r.files.map((f) => el('option', {value: f.name, text: `${f.name} (${bytes(f.size)})`}));
    files.replaceChildren(...opts());
    installer.replaceChildren(...opts());
  }
  const token = async (names) => (await api('POST', '/api/file_tokens', {machine_id: id, files: names})).token;
  const fileUrl = (name, t) => `/files/${enc(name)}?token=${enc(t)}`;
  const download = act(async () => {
    const names = [...files.selectedOptions].map((o) => o.value);
    if (!names.length || !folder.value) throw new Error('choose files and a folder');
    const t = await token(names);
    await send(id, 'start_download_job', {folder: folder.value, server_url: location.origin,
                                          files: names.map((n) => ({url: fileUrl(n, t), filename: n}))});
    transfer.textContent = 'Download started.';
  });
  const update = act(async () => {
    if (!installer.value || !version.value) throw new Error('choose an installer and give its version');
    if (!confirm(`Update ${m.hostname} to ${version.value}? The agent restarts.`)) return;
    const t = await token([installer.value]);
    await send(id, 'do_update', {download_url: location.origin + fileUrl(installer.value, t), version: version.value,
                                 filename: installer.value});
    transfer.textContent = 'Update sent.';
  });

  const on = (e, d) => {
    if (e === 'disk_list') showDisks(d);
    else if (e === 'drive_list') showDrives(d);
    else if (e === 'directory_list') showListing(d);
    else if (e === 'dji_rx') droneHex.textContent = d.raw_hex || '';
    else if (e === 'dji_device_info') droneState.textContent = d.connected ? `connected (${d.conn_type || '?'})` : 'not connected';
    else if (e.startsWith('dji_')) droneState.textContent = e + ': ' + JSON.stringify(d);
    else if (e.startsWith('download_') || e === 'update_status') transfer.textContent = e + ': ' + JSON.stringify(d);
    else if (e === 'job_error' || e === 'remote_scan_error') note.textContent = e + ': ' + (d.error || '');
  };

  main.replaceChildren(
      el('h1', {text: m.hostname || id}),
      el('p', {}, el('span', {class: m.online ? 'on' : 'off', id: 'machine-state', text: m.online ? 'online' : 'offline'}),
         ` \u2014 ${m.platform} ${m.version}, owner ${m.user}, `, el('code', {text: id}), ' ',
         el('a', {href: `/console/jobs?id=${enc(id)}`, text: 'Jobs'}), ' ',
         el('a', {href: `/console/events?id=${enc(id)}`, text: 'Events'})),
      note,
      el('div', {class: 'panel'}, el('h2', {text: 'Job options'}),
         el('label', {}, 'Part size ', partSize), el('label', {}, 'Resume from part ', resume),
         el('label', {}, 'Scan chunk ', chunk),
         el('button', {type: 'button', onclick: act(() => send(id, 'cancel_job')), text: 'Cancel imaging'}),
         el('button', {type: 'button', onclick: act(() => send(id, 'cancel_remote_scan')), text: 'Cancel scan'})),
      el('h2', {text: 'Disks'}), disks,
      el('h2', {text: 'Drives'}), drives,
      el('h2', {text: 'Folders'}),
      el('form', {id: 'browse', onsubmit: act(() => browse(pathInput.value))}, pathInput, el('button', {type: 'submit', text: 'Open'})),
      crumbs, listing,
      el('div', {class: 'panel'}, el('h2', {text: 'Drone'}),
         el('button', {type: 'button', onclick: act(() => send(id, 'dji_connect_device')), text: 'Connect'}),
         el('button', {type: 'button', onclick: act(() => send(id, 'dji_disconnect_device')), text: 'Disconnect'}),
         el('button', {type: 'button', onclick: act(() => send(id, 'dji_get_status')), text: 'Status'}),
         droneState, el('p', {text: 'Last received bytes:'}), droneHex),
      el('div', {class: 'panel'}, el('h2', {text: 'Files for the machine'}),
         el('p', {}, el('label', {}, 'Server files ', files), el('label', {}, 'to folder ', folder),
            el('button', {type: 'button', id: 'download', onclick: download, text: 'Download'})),
         el('p', {}, el('label', {}, 'Installer ', installer), el('label', {}, 'version ', version),
            el('button', {type: 'button', id: 'update', onclick: update, text: 'Update'})),
         transfer));
  loadFiles().catch((err) => status(err.message, true));

  const after = await lastSeq(id);
  follow(id, after, on);
  if (!m.online) {
    disks.replaceChildren(el('p', {text: 'The machine is offline.'}));
    return;
  }
  await send(id, 'list_disks');
  await send(id, 'list_drives');
}

// ---- jobs ----

async function jobsView(main) {
  const id = params.get('id') || '';
  machineLinks(id);
  const imaging = el('div', {id: 'imaging'}, el('p', {text: 'No imaging job has reported yet.'}));
  const images = el('div', {id: 'images'});
  const scans = el('div', {id: 'scans'});
  main.replaceChildren(el('h1', {}, 'Jobs of ', el('a', {href: `/console/machine?id=${enc(id)}`, text: id})),
                       el('h2', {text: 'Imaging'}), imaging, el('h2', {text: 'Images'}), images,
                       el('h2', {text: 'Scans'}), scans);

  // The running imaging job, from its progress events.
  const job = {bar: el('progress', {max: '100', value: '0', id: 'image-bar'}), text: el('p', {id: 'image-progress'}),
               note: el('p', {id: 'image-note'}), samples: []};
  function onImaging(e, d, live) {
    if (imaging.firstChild !== job.bar) imaging.replaceChildren(job.bar, job.text, job.note);
    if (e === 'job_error') job.note.textContent = 'Error: ' + (d.error || '');
    // The agent names unreadable bytes (read as zeros) only when there are some.
    if (e === 'job_complete') {
      job.note.textContent = `Complete: ${d.total_parts} part(s), batch ${d.batch_id}, unreadable bytes ` +
          `${bytes(d.unreadable_bytes || 0)}` + (d.unreadable_ranges ? ` in ${d.unreadable_ranges.length} range(s)` : '');
    }
    if (e !== 'imaging_progress') return;
    if (d.cancelled) { job.note.textContent = 'Cancelled'; return; }
    if (d.status) { job.note.textContent = d.status; return; }
    if (typeof d.progress !== 'number' || d.progress < 0) return;
    const pct = Math.min(100, d.progress);
    job.bar.value = pct;
    if (live) job.samples.push([Date.now(), pct]);
    const first = job.samples[0], last = job.samples[job.samples.length - 1];
    let eta = '?';
    if (pct >= 100) eta = '0 s';
    else if (first && last && last[1] > first[1]) eta = duration((100 - pct) * (last[0] - first[0]) / 1000 / (last[1] - first[1]));
    job.text.textContent = `${pct.toFixed(1)} %` + (d.part ? ` \u2014 part ${d.part} of ${d.total_parts}` : '') +
        (d.speed ? ` \u2014 ${d.speed}` : '') + ` \u2014 ETA ${eta} \u2014 unreadable bytes ${bytes(d.unreadable_bytes || 0)}`;
    job.bar.dataset.percent = String(pct);
  }

  async function showImages() {
    const r = await api('GET', `/api/images?machine_id=${enc(id)}`);
    images.replaceChildren(table(['Image', 'Source', 'Status', 'Parts', 'Size', 'SHA-256', ''], r.images.map((i) => {
      const tr = row(String(i.id), i.source, i.error ? i.status + ': ' + i.error : i.status, String(i.total_parts || '?'),
                     i.status === 'complete' ? bytes(i.bytes) : '', el('code', {class: 'sha', text: i.sha256 || ''}),
                     i.status === 'complete' ? el('a', {href: `/console/api/images/${i.id}/file`, download: `image-${i.id}.img`,
                                                         text: 'Download'}) : '');
      tr.dataset.image = String(i.id);
      tr.dataset.status = i.status;
      return tr;
    })));
    return r.images.some((i) => i.status === 'receiving');
  }

  // Scans, by scan id ("scan-N"), from their events.
  const scanJobs = new Map();
  function scanJob(sid) {
    if (!scanJobs.has(sid)) {
      const box = el('div', {class: 'job', id: sid});
      const s = {sid, n: Number(sid.slice(5)), box, done: 0, total: 0, finished: false, error: '', tree: false,
                 bar: el('progress', {max: '100', value: '0'}), text: el('p', {class: 'scan-progress'}),
                 hits: el('p', {class: 'hits'}), treeBox: el('div', {class: 'tree'}), note: el('p')};
      box.append(el('h3', {}, sid + ' ', el('a', {href: `/console/gallery?id=${enc(id)}&scan=${s.n}`, text: 'Gallery'})),
                 s.bar, s.text, s.hits, s.note, s.treeBox);
      scanJobs.set(sid, s);
      scans.prepend(box);
    }
    return scanJobs.get(sid);
  }
  function onScan(e, d) {
    const sid = d.scan_id;
    if (!sid || !/^scan-\d+$/.test(sid)) return;
    const s = scanJob(sid);
    if (e === 'stream_chunk_progress') {
      s.done = d.chunk_index || 0;
      const per = s.done ? d.offset / s.done : 0;
      s.total = per > 0 ? Math.max(s.done, Math.ceil(d.total_size / per)) : s.total;
    } else if (e === 'stream_chunk_complete') {
      s.finished = true;
      s.total = s.done;
    } else if (e === 'remote_scan_error') {
      s.error = d.error || 'failed';
    } else if (e === 'directory_tree') {
      s.tree = true;
    }
    s.bar.value = s.total ? (100 * s.done) / s.total : 0;
    s.text.textContent = `chunks ${s.done} of ${s.total || '?'}` + (s.finished ? ' \u2014 complete' : '') +
        (s.error ? ' \u2014 error: ' + s.error : '');
    s.box.dataset.finished = String(s.finished);
  }
  async function scanDetails(s) {
    const r = (await api('GET', `/api/scans/${s.n}`)).scan;
    const hits = Object.entries(r.hits || {}).map(([k, v]) => `${k} ${v}`).join(', ') || 'none';
    s.hits.textContent = `hits: ${hits} \u2014 chunks stored ${r.chunks}` +
        (s.finished && s.done > r.chunks ? ` \u2014 failed chunks ${s.done - r.chunks}` : '');
    if (s.tree && !s.treeBox.firstChild) {
      const t = await api('GET', `/console/api/scans/${s.n}/tree`);
      s.treeBox.replaceChildren(treeView(t.directory_tree || {}));
    }
  }

  const after = await allEvents(id, (e, d) => (e.startsWith('stream_') || e === 'remote_scan_error' || e === 'directory_tree'
                                              ? onScan(e, d) : onImaging(e, d, false)));
  let receiving = await showImages();
  for (const s of scanJobs.values()) await scanDetails(s).catch(() => {});
  follow(id, after, (e, d) => {
    if (e.startsWith('stream_') || e === 'remote_scan_error' || e === 'directory_tree') {
      onScan(e, d);
      const s = scanJobs.get(d.scan_id);
      if (s && (e !== 'stream_chunk_progress' || s.done % 4 === 0)) scanDetails(s).catch(() => {});
    } else if (e === 'imaging_progress' || e === 'job_complete' || e === 'job_error') {
      onImaging(e, d, true);
      receiving = true;
    }
  });
  // The image record changes as parts arrive and when it is assembled.
  for (;;) {
    await sleep(1500);
    if (receiving) receiving = await showImages().catch(() => true);
  }
}

// A directory tree ({"fs_type", "entries": [{"path", "size", ...}]}) as
// nested <details>, folders first.
function treeView(tree) {
  const root = {name: '/', kids: new Map(), entry: null};
  for (const e of tree.entries || []) {
    let node = root;
    for (const part of String(e.path || '').split('/').filter((p) => p)) {
      if (!node.kids.has(part)) node.kids.set(part, {name: part, kids: new Map(), entry: null});
      node = node.kids.get(part);
    }
    node.entry = e;
  }
  function render(node) {
    if (!node.kids.size) {
      const e = node.entry || {};
      return el('div', {class: 'file', text: node.name + (e.size !== undefined ? ` (${bytes(e.size)})` : '')});
    }
    const d = el('details', {}, el('summary', {text: node.name + '/'}));
    for (const kid of node.kids.values()) d.append(render(kid));
    return d;
  }
  const top = render(root);
  top.open = true;
  return el('div', {}, el('p', {text: `File system: ${tree.fs_type || '?'}, ${(tree.entries || []).length} entries`}), top);
}

// ---- gallery ----

async function galleryView(main) {
  const id = params.get('id') || '';
  if (id) machineLinks(id);
  const scan = params.get('scan');
  const pick = el('form', {method: 'get', action: '/console/gallery'},
                  el('input', {type: 'hidden', name: 'id', value: id}),
                  el('label', {}, 'Scan number ', el('input', {type: 'number', name: 'scan', min: '1', value: scan || ''})),
                  el('button', {type: 'submit', text: 'Show'}));
  if (!scan) {
    main.replaceChildren(el('h1', {text: 'Gallery'}), pick);
    return;
  }
  const r = await api('GET', `/console/api/scans/${enc(scan)}/pictures`);
  const figure = (p, caption) => el('figure', {},
      el('a', {href: p.url, target: '_blank', rel: 'noopener'}, el('img', {src: p.url, alt: caption, loading: 'lazy'})),
      el('figcaption', {text: caption}));
  const pictures = r.pictures.map((p) => figure(p, `${p.type} at ${p.offset} (${bytes(p.size)})`));
  const thumbs = r.thumbnails.map((t) => figure(t, `video ${t.video_id || ''}`));
  main.replaceChildren(el('h1', {text: `Gallery of scan ${scan}`}), pick,
                       el('h2', {text: `Pictures (${pictures.length})`}),
                       pictures.length ? el('div', {class: 'grid', id: 'pictures'}, ...pictures) : el('p', {text: 'No picture.'}),
                       el('h2', {text: `Video thumbnails (${thumbs.length})`}), renderPanel(scan, () => galleryView(main)),
                       thumbs.length ? el('div', {class: 'grid', id: 'thumbnails'}, ...thumbs) : el('p', {text: 'None yet.'}));
}

// The button that has the machine render thumbnails of the videos the scan
// found, from the disk or file the scan read (a path the operator may
// change), uploaded into the same scan; `done` runs when the machine is
// through.
function renderPanel(scan, done) {
  const path = el('input', {id: 'video-source', size: '40', placeholder: 'disk or image path on the machine'});
  const note = el('span', {id: 'render-state'});
  let record;
  api('GET', `/api/scans/${enc(scan)}`).then((r) => {
    record = r.scan;
    if (record.source.startsWith('path:')) path.value = record.source.slice(5);
  }).catch((err) => status(err.message, true));
  const render = act(async () => {
    if (!record || !path.value) throw new Error('give the path of the disk or image the scan read');
    const {videos} = await api('GET', `/console/api/scans/${enc(scan)}/videos`);
    if (!videos.length) throw new Error('the scan found no video whose pieces it could place');
    const machine = record.machine_id;
    let after = await lastSeq(machine);
    await send(machine, 'generate_thumbnails', {scan_id: record.scan_id, disk_path: path.value, upload_token: record.token,
                                                server_url: location.origin, videos});
    note.textContent = `Rendering ${videos.length} video(s)\u2026`;
    for (;;) {
      const q = await api('GET', `/api/events?machine_id=${enc(machine)}&after=${after}&wait=20`);
      for (const ev of q.events) {
        after = Math.max(after, ev.seq);
        if (ev.e !== 'thumbnails_complete' || ev.d.scan_id !== record.scan_id) continue;
        note.textContent = `${ev.d.generated} of ${videos.length} rendered` + (ev.d.error ? ': ' + ev.d.error : '');
        if (ev.d.generated) await done();
        return;
      }
    }
  });
  return el('p', {}, el('label', {}, 'Videos from ', path),
            el('button', {type: 'button', id: 'render-videos', onclick: render, text: 'Render video thumbnails'}), ' ', note);
}

// ---- events ----

// One machine's events (?id=) oldest first from ?after=, or, without an id,
// every machine's events newest first from before ?before=; either by ?type=.
async function eventsView(main) {
  const id = params.get('id') || '';
  const only = params.get('type') || '';
  const filter = (hidden, names) => {
    const select = el('select', {name: 'type'}, el('option', {value: '', text: 'all types'}),
                      ...names.map((n) => el('option', {value: n, text: n})));
    select.value = only;
    return el('form', {method: 'get', action: '/console/events'},
              ...Object.entries(hidden).map(([name, value]) => el('input', {type: 'hidden', name, value})), select,
              el('button', {type: 'submit', id: 'filter', text: 'Filter'}));
  };
  const data = (text, cut) => el('code', {text: text + (cut ? '\u2026' : '')});
  if (!id) {
    const before = params.get('before') || '';
    const q = new URLSearchParams();
    if (before) q.set('before', before);
    if (only) q.set('type', only);
    const r = await api('GET', '/console/api/events?' + q);
    const link = (b, text) => el('a', {href: '/console/events?' + new URLSearchParams(b ? {before: b, type: only} : {type: only}), text});
    const last = r.events.length ? r.events[r.events.length - 1].seq : 0;
    main.replaceChildren(
        el('h1', {text: 'Events of all machines'}), filter({}, r.types),
        table(['#', 'Time', 'Machine', 'Event', 'Data'], r.events.map((e) => row(
            String(e.seq), utc(e.at), el('a', {href: `/console/events?id=${enc(e.machine_id)}`, text: e.hostname || e.machine_id}),
            e.e, data(e.d, e.cut)))),
        el('p', {}, before ? link('', 'Newest') : '', ' ', r.more ? link(String(last), 'Older') : ''));
    return;
  }
  machineLinks(id);
  const after = Number(params.get('after') || 0);
  const r = await api('GET', `/api/events?machine_id=${enc(id)}&after=${after}&max_bytes=1048576`);
  const names = [...new Set(r.events.map((e) => e.e))].sort();
  const shown = r.events.filter((e) => !only || e.e === only);
  const last = r.events.length ? r.events[r.events.length - 1].seq : after;
  const link = (a, text) => el('a', {href: `/console/events?id=${enc(id)}&after=${a}&type=${enc(only)}`, text});
  main.replaceChildren(
      el('h1', {text: `Events of ${id}`}), filter({id, after: String(after)}, names),
      table(['#', 'Time', 'Event', 'Data'], shown.map((e) => row(String(e.seq), utc(e.at), e.e, data(JSON.stringify(e.d))))),
      el('p', {}, after > 0 ? link(0, 'First page') : '', ' ', r.more ? link(last, 'Next page') : '',
         ` \u2014 newest event #${r.last_seq} \u2014 `, el('a', {href: '/console/events', text: 'all machines'})));
}

// ---- start ----

const views = {'/console/': machinesView, '/console/machine': machineView, '/console/jobs': jobsView,
               '/console/gallery': galleryView, '/console/events': eventsView};

document.addEventListener('DOMContentLoaded', async () => {
  const main = document.getElementById('main');
  try {
    const s = await api('GET', '/console/api/session');
    csrf = s.csrf;
    document.getElementById('logout-csrf').value = s.csrf;
    document.getElementById('who').textContent = s.user + ' ';
    await (views[location.pathname] || machinesView)(main);
  } catch (err) {
    status(err.message, true);
  }
});
