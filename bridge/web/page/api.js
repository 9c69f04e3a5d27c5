// The bridge's HTTP interface, as the page asks it: relative addresses only,
// so that the page works unchanged behind a reverse proxy's sub-path.

// A GET, or a POST of `body` as JSON; the status and the answer's JSON.
export async function request(path, body) {
  const options = body === undefined ? {} : {
    method: 'POST',
    headers: {'Content-Type': 'application/json'},
    body: JSON.stringify(body),
  };
  const response = await fetch(path, {credentials: 'same-origin', ...options});
  let data = null;
  if (response.status !== 204) {
    try { data = await response.json(); } catch (e) { data = null; }
  }
  return {status: response.status, data};
}

// The bridge's words for a refusal, or the status when it gave none.
export function problemOf({status, data}) {
  return (data && data.error) || `the bridge answered ${status}`;
}

// The event stream: `handlers` has a function for each event it takes
// (snapshot, unit, units, log, salvos, command, me) and one for its loss
// (error).
export function openEvents(handlers) {
  const stream = new EventSource('api/events');
  for (const [name, handle] of Object.entries(handlers)) {
    stream.addEventListener(name, (event) => handle(name === 'error' ? stream : JSON.parse(event.data)));
  }
  return stream;
}
